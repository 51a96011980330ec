# Checks of the boards' linker scripts (firmware build), and the probe image
# around their shared start-up code that the virtual-board tests run. Include
# from tests/image/CMakeLists.txt, after the board directories have defined
# front_lamp, rear_lamp and g431_startup.
#
# The checks need python3 and the arm-none-eabi binutils only.
find_program(BOARD_TEST_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)

set(board_test_dir ${CMAKE_CURRENT_LIST_DIR})
get_filename_component(board_repo_root ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
set(startup_dir ${board_repo_root}/platform/startup)
set(front_script ${board_repo_root}/front_lamp/Core/Startup/STM32G431CBTX_FLASH.ld)
set(rear_script ${board_repo_root}/rear_lamp/Core/Startup/STM32G431CBTX_FLASH.ld)

# A minimal image around the shared start-up code and system-call stubs, put
# beside the board images: tests/vboard/system/board_runtime_test.py (host build) runs
# it on the virtual board and checks it through GDB.
add_executable(board_runtime_probe ${board_test_dir}/board_runtime_probe.cpp)
set_target_properties(board_runtime_probe PROPERTIES
  OUTPUT_NAME board_runtime_probe.elf
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  LINK_DEPENDS "${front_script};${startup_dir}/stm32g431_sections.ld")
target_compile_options(board_runtime_probe PRIVATE ${WARNINGS})
target_link_libraries(board_runtime_probe PRIVATE g431_startup)
target_link_options(board_runtime_probe PRIVATE -T${front_script} -L${startup_dir})
# The test calls these by name: link-time optimisation must keep each of them.
foreach(symbol Reset_Handler SystemInit main Default_Handler Error_Handler _close _exit _getpid _isatty _kill
               _lseek _read _sbrk _write __sbrk_heap_end probe_fstat_mode probe_ctor_value probe_data_bytes
               probe_data_word probe_main_calls)
  target_link_options(board_runtime_probe PRIVATE -Wl,--undefined=${symbol})
endforeach()

foreach(board front rear)
  add_test(NAME board_link.${board}_lamp
    COMMAND ${BOARD_TEST_PYTHON} ${board_test_dir}/board_link_check.py
      --cxx ${CMAKE_CXX_COMPILER} --script ${${board}_script} --sections-dir ${startup_dir}
      --syscalls ${startup_dir}/syscalls.cpp)
endforeach()
