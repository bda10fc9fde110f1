// The thirteen entry points the mail client calls. On 32-bit Windows the ones with arguments use
// stdcall (the callee pops 8 bytes); elsewhere the convention is the platform's own.
#pragma once

#include <cstdint>
#include <memory>

#if defined(_WIN32) && defined(__i386__)
#define BAV_CALL __attribute__((stdcall))
#else
#define BAV_CALL
#endif

extern "C" {
std::int32_t BAV_CALL BAV_CureFile(std::int32_t a, std::int32_t b) noexcept;
std::int32_t BAV_CALL BAV_CheckFile(const char* path, char* buffer) noexcept;
std::int32_t BAV_StreamChecking() noexcept;
std::int32_t BAV_FileChecking() noexcept;
std::int32_t BAV_MemoryChecking() noexcept;
std::int32_t BAV_Setup() noexcept;
std::int32_t BAV_GetStatus() noexcept;
std::int32_t BAV_CALL BAV_GetCfgData(std::int32_t a, std::int32_t b) noexcept;
std::int32_t BAV_CALL BAV_SetCfgData(std::int32_t a, std::int32_t b) noexcept;
std::int32_t BAV_CALL BAV_GetVersion(char* buffer, std::int32_t length) noexcept;
std::int32_t BAV_CALL BAV_GetName(char* buffer, std::int32_t length) noexcept;
std::int32_t BAV_Uninitialize() noexcept;
std::int32_t BAV_Initialize() noexcept;
}

namespace kyv::plugin {
class TKYVAScanKernel;
// Puts kernel in the place of the process's one, as BAV_Initialize does with the one it makes
// (tests hand in their own); the previous one goes. Waits for a scan that is running.
void InstallKernel(std::unique_ptr<TKYVAScanKernel> kernel);
} // namespace kyv::plugin
