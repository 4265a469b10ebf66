#pragma once
// The texts a cast sends: what a server takes as a stream title.
#include <cstddef>
#include <string>

namespace casttext {

// The longest title, in bytes as sent, that both SHOUTcast v1 and Icecast 2 take whole.
constexpr std::size_t maxTitleBytes = 255;

// UTF-8 text (bytes that are not UTF-8 taken as Latin-1) with every control character a
// blank, cut at a character boundary to maxBytes of UTF-8.
std::string cleanTitle(const std::string& utf8, std::size_t maxBytes = maxTitleBytes);

// Latin-1 bytes of UTF-8 text, characters beyond Latin-1 as '?'.
std::string utf8ToLatin1(const std::string& utf8);

} // namespace casttext
