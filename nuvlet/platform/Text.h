#pragma once

#include <string>
#include <string_view>

namespace nuvlet::text {

// Valid UTF-8 in, the same bytes out; each byte of an invalid sequence (overlong
// forms, surrogates, code points past U+10FFFF, truncated sequences) becomes
// U+FFFD. Text read from other programs goes through this before it is stored.
std::string repairUtf8(std::string_view in);

// A field for an unquoted CSV column: valid UTF-8 with every comma, control
// character and DEL replaced by '_'. An empty result becomes `ifEmpty`.
std::string csvField(std::string_view in, std::string_view ifEmpty);

}  // namespace nuvlet::text
