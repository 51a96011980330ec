// Chip implementation: a peripheral instance is the register block at its fixed
// address (included by stm32g431xx.h as platform_backend/instances.h).
#pragma once

#define PLATFORM_INSTANCE(type, register_file_member, base) (reinterpret_cast<type*>(base))
