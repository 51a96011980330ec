# Debian's arm-none-eabi GCC for the STM32G431 (Cortex-M4F, hard float).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_ASM_COMPILER arm-none-eabi-gcc)
set(CMAKE_OBJCOPY arm-none-eabi-objcopy CACHE FILEPATH "")
set(CMAKE_SIZE arm-none-eabi-size CACHE FILEPATH "")
set(CMAKE_NM arm-none-eabi-nm CACHE FILEPATH "")

# FIRMWARE_LTO=OFF (the firmware-debug preset) builds without link-time
# optimisation, so that every function and variable keeps its own debug info.
if(NOT DEFINED FIRMWARE_LTO OR FIRMWARE_LTO)
  set(LTO_FLAGS "-flto")
  set(LTO_LINK_FLAGS "-flto -Os")
else()
  set(LTO_FLAGS "")
  set(LTO_LINK_FLAGS "")
endif()

set(MCU_FLAGS "-mcpu=cortex-m4 -mthumb -mfpu=fpv4-sp-d16 -mfloat-abi=hard")
set(CMAKE_C_FLAGS_INIT "${MCU_FLAGS} -ffunction-sections -fdata-sections ${LTO_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT
    "${MCU_FLAGS} -ffunction-sections -fdata-sections -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit ${LTO_FLAGS}")
set(CMAKE_ASM_FLAGS_INIT "${MCU_FLAGS} -x assembler-with-cpp")
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "${MCU_FLAGS} -nostartfiles --specs=nano.specs -Wl,--gc-sections -Wl,--print-memory-usage ${LTO_LINK_FLAGS}")
set(CMAKE_C_FLAGS_MINSIZEREL_INIT "-Os -g")
set(CMAKE_CXX_FLAGS_MINSIZEREL_INIT "-Os -g")
# The debug build (the firmware-debug preset): the project's own code, the
# applications and the middleware, at -O0 (FIRMWARE_OWN_CODE_FLAGS, which
# mid/, front_lamp/ and rear_lamp/ give those sources), the platform, HAL and
# start-up at -Og. At -Og a local lives only while its value is needed: GDB
# showed `<optimized out>` for the front pass's `on` after its last use and for
# the pin handler's `high` outside its branch; at -O0 every local keeps its slot
# in the frame for all its scope. All of it at -O0 would start the images
# 0.8 ms later (start-up copy loops and HAL set-up), which moves the rear
# strip's frames against the times the scenarios expect them at (the debug
# images play the same scenarios); the own code alone costs a fifth of that.
set(CMAKE_C_FLAGS_DEBUG_INIT "-Og -g3")
set(CMAKE_CXX_FLAGS_DEBUG_INIT "-Og -g3")
set(FIRMWARE_OWN_CODE_FLAGS "$<$<CONFIG:Debug>:-O0>")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
