#pragma once
// Stream titles as listeners' players will show them.
#include <string>

// Typographic punctuation replaced by its plain look-alike (’ ‘ → ', “ ” → ", — – → -,
// … → ..., no-break and thin spaces → space), so that a title survives a server that keeps
// only Latin-1. Everything else, accented letters included, is left as it is. UTF-8 in and out.
std::string withPlainPunctuation(const std::string& utf8);
