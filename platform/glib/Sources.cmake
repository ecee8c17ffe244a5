# The GLib adapter: our message loop as a source of a GMainContext.
target_sources(BrimPlatformGlib
    PRIVATE
        platform/glib/GlibLoop.cpp)
brim_public_headers(BrimPlatformGlib BASE ${PROJECT_SOURCE_DIR} FILES
    platform/glib/GlibExport.h
    platform/glib/GlibLoop.h)
