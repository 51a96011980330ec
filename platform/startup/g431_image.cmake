# How an STM32G431 firmware image is put together, shared by both boards:
#
#   g431_startup        OBJECT library: vector table and reset path, SystemInit,
#                       system-call stubs and _sbrk (no board settings in them,
#                       so they are compiled once for both images);
#   g431_firmware_image(<name> SOURCES ... INCLUDE_DIRS ... LIBRARIES ...
#                       LINKER_SCRIPT <board script> FLASH_TARGET <target>
#                       KEEP <symbol>...)
#                       the executable <name> -> ${CMAKE_BINARY_DIR}/<name>.elf,
#                       with <name>.map, <name>.bin, <name>.hex, a size report
#                       after every link, and a programming target (not built
#                       by default) that flashes it over ST-LINK with OpenOCD.
#                       The image is link-time optimised; every entry point the
#                       image checks, the vector table and the virtual board look
#                       up by name stays a global function of its own (the common
#                       ones below, plus the board's KEEP list).
include_guard(GLOBAL)

add_library(g431_startup OBJECT
  ${CMAKE_CURRENT_LIST_DIR}/startup_stm32g431cbtx.cpp
  ${CMAKE_CURRENT_LIST_DIR}/system_stm32g4xx.cpp
  ${CMAKE_CURRENT_LIST_DIR}/syscalls.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sysmem.cpp
  ${CMAKE_CURRENT_LIST_DIR}/memory.cpp)
target_link_libraries(g431_startup PUBLIC platform_api)
target_compile_options(g431_startup PRIVATE ${WARNINGS})
# The compiler emits calls to memset/memcpy/memmove late, after link-time
# optimisation has settled which symbols exist: these three must be ordinary
# object code, not LTO bytecode.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/memory.cpp PROPERTIES COMPILE_OPTIONS -fno-lto)

function(g431_firmware_image name)
  cmake_parse_arguments(ARG "" "LINKER_SCRIPT;FLASH_TARGET" "SOURCES;INCLUDE_DIRS;LIBRARIES;KEEP" ${ARGN})
  # Entry points of every image: the system vectors, the bridge, the start-up and
  # stop routines and the platform callbacks the middleware overrides.
  set(common_entry_points
    Reset_Handler NMI_Handler HardFault_Handler MemManage_Handler BusFault_Handler UsageFault_Handler
    SVC_Handler DebugMon_Handler PendSV_Handler SysTick_Handler Default_Handler
    main SystemInit Error_Handler _sbrk _exit cpp_setup cpp_loop
    HAL_MspInit HAL_TIM_Base_MspInit HAL_GPIO_EXTI_Callback HAL_TIM_PeriodElapsedCallback)

  if(NOT ARG_SOURCES OR NOT ARG_LINKER_SCRIPT OR NOT ARG_FLASH_TARGET)
    message(FATAL_ERROR "g431_firmware_image(${name}): SOURCES, LINKER_SCRIPT and FLASH_TARGET are required")
  endif()
  get_filename_component(script ${ARG_LINKER_SCRIPT} ABSOLUTE)
  set(startup_dir ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
  set(elf ${CMAKE_BINARY_DIR}/${name}.elf)

  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES
    OUTPUT_NAME ${name}.elf
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
    LINK_DEPENDS "${script};${startup_dir}/stm32g431_sections.ld")
  target_include_directories(${name} PRIVATE ${ARG_INCLUDE_DIRS})
  target_compile_options(${name} PRIVATE ${WARNINGS})
  # Object libraries, linked directly: their strong hooks and handlers always
  # replace the weak defaults. The board script INCLUDEs the shared section
  # layout, found through -L. Symbols are kept (no strip) for the image checks
  # and the debugger.
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} g431_startup platform_api m)
  target_link_options(${name} PRIVATE
    -T${script}
    -L${startup_dir}
    -Wl,-Map=${CMAKE_BINARY_DIR}/${name}.map)
  # A symbol the link is told is needed from outside stays global and out of
  # line through link-time optimisation.
  foreach(symbol IN LISTS common_entry_points ARG_KEEP)
    target_link_options(${name} PRIVATE -Wl,--undefined=${symbol})
  endforeach()

  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} -O binary ${elf} ${CMAKE_BINARY_DIR}/${name}.bin
    COMMAND ${CMAKE_OBJCOPY} -O ihex ${elf} ${CMAKE_BINARY_DIR}/${name}.hex
    COMMAND ${CMAKE_SIZE} ${elf}
    BYPRODUCTS ${CMAKE_BINARY_DIR}/${name}.bin ${CMAKE_BINARY_DIR}/${name}.hex ${CMAKE_BINARY_DIR}/${name}.map
    VERBATIM)

  add_custom_target(${ARG_FLASH_TARGET}
    COMMAND openocd -f interface/stlink.cfg -f target/stm32g4x.cfg -c "program ${elf} verify reset exit"
    DEPENDS ${name}
    USES_TERMINAL
    VERBATIM)
endfunction()
