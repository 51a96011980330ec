# Checks of the boards' start-up code, system-call stubs and linker scripts
# (firmware build). Include from tests/image/CMakeLists.txt,
# after the board directories have defined front_lamp, rear_lamp and g431_startup.
#
# The emulated run needs Debian's python3 with python3-unicorn; the other
# checks only need python3 and the arm-none-eabi binutils.
find_program(BOARD_TEST_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)

set(board_test_dir ${CMAKE_CURRENT_LIST_DIR})
get_filename_component(board_repo_root ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
set(startup_dir ${board_repo_root}/platform/startup)
set(front_script ${board_repo_root}/front_lamp/Core/Startup/STM32G431CBTX_FLASH.ld)
set(rear_script ${board_repo_root}/rear_lamp/Core/Startup/STM32G431CBTX_FLASH.ld)

# A minimal image around the shared start-up code, for the emulated run.
add_executable(board_runtime_probe ${board_test_dir}/board_runtime_probe.cpp)
set_target_properties(board_runtime_probe PROPERTIES
  OUTPUT_NAME board_runtime_probe.elf
  LINK_DEPENDS "${front_script};${startup_dir}/stm32g431_sections.ld")
target_compile_options(board_runtime_probe PRIVATE ${WARNINGS})
target_link_libraries(board_runtime_probe PRIVATE g431_startup)
target_link_options(board_runtime_probe PRIVATE -T${front_script} -L${startup_dir})
# The run calls these by name: link-time optimisation must keep each of them.
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

add_test(NAME board_runtime.emulated
  COMMAND ${BOARD_TEST_PYTHON} ${board_test_dir}/board_runtime_check.py
    --probe $<TARGET_FILE:board_runtime_probe>
    --image $<TARGET_FILE:front_lamp> --image $<TARGET_FILE:rear_lamp>)

# Run against freshly built images where the image checks define that fixture.
set_tests_properties(board_runtime.emulated
  PROPERTIES FIXTURES_REQUIRED firmware_images)
