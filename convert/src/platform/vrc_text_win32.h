// Windows: the narrow text of the file functions (UTF-8 or the ANSI code
// page, as utf8_paths() says) to and from the system's UTF-16. Unlike the
// functions of vrc_platform.h these throw std::bad_alloc.
#ifndef VRC_TEXT_WIN32_H
#define VRC_TEXT_WIN32_H

#include <string>

namespace vrc {

std::wstring widen(const char *text);
std::string narrow(const wchar_t *text);

}  // namespace vrc

#endif
