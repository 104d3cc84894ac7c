#include "QuillmereMac/Control/CharacterCount.h"

#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <memory>

namespace quillmere {

std::size_t characterCount(std::string_view text) {
    if (text.empty()) return 0;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UText, decltype(&utext_close)> utext(
        utext_openUTF8(nullptr, text.data(), static_cast<std::int64_t>(text.size()), &status), &utext_close);
    std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> breaks(ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status),
                                                                  &ubrk_close);
    if (U_FAILURE(status)) return text.size();
    ubrk_setUText(breaks.get(), utext.get(), &status);
    if (U_FAILURE(status)) return text.size();
    std::size_t count = 0;
    ubrk_first(breaks.get());
    while (ubrk_next(breaks.get()) != UBRK_DONE) ++count;
    return count;
}

} // namespace quillmere
