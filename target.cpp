#include <cstdint>
#include <cstddef>
#include <cstdlib>
#include <cstring>
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* d, size_t n) {
    if (n > 3 && d[0]=='F' && d[1]=='U' && d[2]=='Z' && d[3]=='Z') abort();
    return 0;
}
