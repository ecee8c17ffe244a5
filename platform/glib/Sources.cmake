# The GLib adapter: our message loop as a source of a GMainContext.
target_sources(BrimPlatformGlib
    PRIVATE
        platform/glib/GlibLoop.cpp
    PUBLIC FILE_SET HEADERS BASE_DIRS ${CMAKE_CURRENT_SOURCE_DIR} FILES
        platform/glib/GlibExport.h
        platform/glib/GlibLoop.h)
