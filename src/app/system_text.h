// Text the window stores in Unicode (a few list items) turned into the
// system's 8-bit code page, which all the window's text is in.
#pragma once

#include <string>

namespace app {

// UTF-8 in, system code page out; a character the code page lacks becomes
// the system's substitute for it.
std::string SystemText(const std::string &utf8);

}  // namespace app
