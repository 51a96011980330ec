# rear_lamp_clock_mutant.elf: the rear image with a clock set-up that breaks two
# rules of the chip. HAL_RCC_ClockConfig raises the flash wait states only after
# the switch to the PLL, and goes to 150 MHz without the 1 us at AHB /2. The
# virtual-board tests run it and must see both findings. Made from the real
# sources by text replacement at configure time (the firmware carries no switch
# for it); a replacement that no longer matches stops the configure.
# Include from tests/image/CMakeLists.txt after the boards are defined.
get_filename_component(mutant_root ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
# The mutation tool points CLOCK_MUTANT_RCC at an unmutated copy of hal_rcc.cpp, so
# that its own mutants of the lines replaced below are built and tested, not refused here.
set(mutant_rcc_default ${mutant_root}/platform/chip/src/hal_rcc.cpp)
set(CLOCK_MUTANT_RCC ${mutant_rcc_default} CACHE FILEPATH "hal_rcc.cpp the clock mutant image is made from")
# A build folder configured when the chip sources lay directly in platform/chip
# still holds their old path: back to the default, said aloud.
if(NOT EXISTS "${CLOCK_MUTANT_RCC}")
  message(WARNING "CLOCK_MUTANT_RCC: ${CLOCK_MUTANT_RCC} does not exist; taking ${mutant_rcc_default}")
  set(CLOCK_MUTANT_RCC ${mutant_rcc_default} CACHE FILEPATH "hal_rcc.cpp the clock mutant image is made from" FORCE)
endif()
set(mutant_rcc_in ${CLOCK_MUTANT_RCC})
set(mutant_rcc_out ${CMAKE_CURRENT_BINARY_DIR}/clock_mutant/hal_rcc.cpp)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${mutant_rcc_in})
file(READ ${mutant_rcc_in} mutant_text)

function(clock_mutation from to)
  string(FIND "${mutant_text}" "${from}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "clock_mutant.cmake: '${from}' is no longer in hal_rcc.cpp; update the mutation")
  endif()
  string(REPLACE "${from}" "${to}" changed "${mutant_text}")
  set(mutant_text "${changed}" PARENT_SCOPE)
endfunction()

# 1. No wait states before the clock rises; the final "fewer wait states" step
#    sets them instead, after the switch.
clock_mutation("if (FLatency > flash::ACR_LATENCY.get(FLASH->ACR) && set_flash_latency(FLatency) != HAL_OK)"
               "if (false)")
clock_mutation("if (FLatency < flash::ACR_LATENCY.get(FLASH->ACR) && set_flash_latency(FLatency) != HAL_OK)"
               "if (FLatency != flash::ACR_LATENCY.get(FLASH->ACR) && set_flash_latency(FLatency) != HAL_OK)")
# 2. Straight to full speed: no pass through HCLK = SYSCLK / 2.
clock_mutation("if (sysclk_hz_for(sw) > kSysclkSwitchThresholdHz &&"
               "if (false && sysclk_hz_for(sw) > kSysclkSwitchThresholdHz &&")
file(GENERATE OUTPUT ${mutant_rcc_out} CONTENT "${mutant_text}")

get_target_property(mutant_chip_sources rear_lamp_chip SOURCES)
list(TRANSFORM mutant_chip_sources REPLACE ".*/hal_rcc\\.cpp$" ${mutant_rcc_out})
get_target_property(mutant_chip_includes rear_lamp_chip INCLUDE_DIRECTORIES)
add_library(rear_lamp_clock_mutant_chip OBJECT ${mutant_chip_sources})
target_include_directories(rear_lamp_clock_mutant_chip PRIVATE ${mutant_chip_includes} ${mutant_root}/platform/chip/src)
target_link_libraries(rear_lamp_clock_mutant_chip PUBLIC platform_api)

get_target_property(mutant_image_dir rear_lamp SOURCE_DIR)
get_target_property(mutant_image_sources rear_lamp SOURCES)
list(TRANSFORM mutant_image_sources PREPEND ${mutant_image_dir}/)
get_target_property(mutant_image_includes rear_lamp INCLUDE_DIRECTORIES)
g431_firmware_image(rear_lamp_clock_mutant
  SOURCES ${mutant_image_sources}
  INCLUDE_DIRS ${mutant_image_includes}
  LIBRARIES rear_lamp_mid rear_lamp_clock_mutant_chip
  LINKER_SCRIPT ${mutant_image_dir}/Core/Startup/STM32G431CBTX_FLASH.ld
  FLASH_TARGET flash-rear-clock-mutant)
