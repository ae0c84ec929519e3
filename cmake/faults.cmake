# Fault injection (tests only): the fault sweep, tests/faults/fault_sweep.cpp.
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
              platform/threads_posix.cpp
              platform/console_posix.cpp platform/paths.cpp platform/faults.cpp
              platform/dirs_posix.cpp platform/charset_posix.cpp)
  target_include_directories(platform_faults PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_definitions(platform_faults PUBLIC UNBAK_FAULTS)
  target_link_libraries(platform_faults PUBLIC ZLIB::ZLIB Threads::Threads)
  target_link_options(platform_faults INTERFACE
    -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=free,--wrap=inflateInit2_)

  add_executable(fault_sweep tests/faults/fault_sweep.cpp)
  target_link_libraries(fault_sweep PRIVATE platform_faults bak_core unbak_core dbfscan_core
                        imgwriter ${CMAKE_DL_LIBS})
  set_target_properties(fault_sweep PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  if(BAK_CONVERT)
    target_compile_definitions(fault_sweep PRIVATE BAK_CONVERT)
  endif()
  # A few seconds; most of it under the sanitizers.
  add_test(NAME FaultSweep.EveryCallOfEachKindFailsInTurn COMMAND fault_sweep)
  set_tests_properties(FaultSweep.EveryCallOfEachKindFailsInTurn PROPERTIES TIMEOUT 300)
endif()
