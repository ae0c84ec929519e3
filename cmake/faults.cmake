# Fault injection (tests only): the OS layer with its fault switch, for the
# fault sweep.
#
# The sweep links its own copy of the OS layer, compiled with UNBAK_FAULTS so
# that every plat_* call asks the fault switch (platform/faults.h) first; its
# object files come before the libraries on the link line, so the programs'
# code calls them instead of the platform library's, and the programs built
# here carry no hooks. Heap allocations of our code (and zlib's inflate
# state) are counted, failed and their frees counted through the linker's
# --wrap.
if(UNBAK_TESTS AND NOT WIN32)
  add_library(platform_faults OBJECT platform/platform_posix.cpp platform/handles.cpp
              platform/console_posix.cpp platform/faults.cpp)
  target_include_directories(platform_faults PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_definitions(platform_faults PUBLIC UNBAK_FAULTS)
  target_link_libraries(platform_faults PUBLIC ZLIB::ZLIB)
  target_link_options(platform_faults INTERFACE
    -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=free,--wrap=inflateInit2_)
endif()
