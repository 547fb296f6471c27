/* Export and calling-convention macros shared by every public header. */
#ifndef VRC_EXPORT_H
#define VRC_EXPORT_H

#if defined(_WIN32)
#  if defined(VRC_BUILDING_LIBRARY)
#    define VRC_API __declspec(dllexport)
#  else
#    define VRC_API __declspec(dllimport)
#  endif
#else
#  define VRC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#  define VRC_BEGIN_DECLS extern "C" {
#  define VRC_END_DECLS }
#else
#  define VRC_BEGIN_DECLS
#  define VRC_END_DECLS
#endif

#endif
