#include "QuillmereMac/App/Tests/ThirdPartyLeaks.h"

extern "C" const char* __lsan_default_suppressions() { return quillmere::testing::thirdPartyLeaks; }
