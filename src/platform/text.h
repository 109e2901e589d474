// The only bridge between wide text (paths, window texts, the product
// identifier) and narrow UTF-8 text (JSON, HTTP, messages, the log).
// Ill-formed input becomes U+FFFD; a zero character ends the text.
#pragma once

#include <string>

std::string utf8_from_wide(const std::wstring& wide);
std::wstring wide_from_utf8(const std::string& utf8);
