#include "plugin/bav_api.h"

#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "base/text.h"
#include "platform/system.h"
#include "plugin/copy_to_buffer.h"
#include "plugin/messages.h"
#include "plugin/plugin_info.h"
#include "plugin/scan_kernel.h"

namespace {

// The one kernel of the process: made by BAV_Initialize, freed by BAV_Uninitialize. It holds the
// verdict of the file being scanned and the unpacker's state, so scans take turns: the host
// should call one at a time, and one that does not gets slow answers instead of wrong ones.
std::unique_ptr<kyv::plugin::TKYVAScanKernel> gKernel;
std::mutex gKernelLock;

constexpr std::int32_t kVerdictBufferLength = 1024;

} // namespace

namespace kyv::plugin {
void InstallKernel(std::unique_ptr<TKYVAScanKernel> kernel) {
  std::unique_ptr<TKYVAScanKernel> previous;
  {
    const std::lock_guard lock(gKernelLock);
    previous = std::move(gKernel);
    gKernel = std::move(kernel);
  }
}
} // namespace kyv::plugin

extern "C" {

std::int32_t BAV_CALL BAV_CureFile(std::int32_t, std::int32_t) noexcept { return -1; }
std::int32_t BAV_StreamChecking() noexcept { return -1; }
std::int32_t BAV_FileChecking() noexcept { return 0; }
std::int32_t BAV_MemoryChecking() noexcept { return -1; }
std::int32_t BAV_Setup() noexcept { return -1; }
std::int32_t BAV_GetStatus() noexcept { return 0; }
std::int32_t BAV_CALL BAV_GetCfgData(std::int32_t, std::int32_t) noexcept { return 0; }
std::int32_t BAV_CALL BAV_SetCfgData(std::int32_t, std::int32_t) noexcept { return -1; }

std::int32_t BAV_CALL BAV_GetVersion(char* buffer, std::int32_t length) noexcept {
  return kyv::plugin::CopyToBuffer(buffer, length, kyv::plugin::PluginVersion);
}

std::int32_t BAV_CALL BAV_GetName(char* buffer, std::int32_t length) noexcept {
  return kyv::plugin::CopyToBuffer(buffer, length, kyv::plugin::PluginName);
}

std::int32_t BAV_Initialize() noexcept {
  try {
    auto kernel = std::make_unique<kyv::plugin::TKYVAScanKernel>();
    const bool ready = kernel->LoadBases();
    const std::string base = kernel->BasePath;
    kyv::plugin::InstallKernel(std::move(kernel));
    if (ready)
      return 0;
    kyv::platform::showErrorDialog(kyv::plugin::StartupErrorText(base),
                                   std::string(kyv::plugin::kStartupErrorCaption));
  } catch (...) {
    // Nothing crosses into the host; a kernel that could not even be made is a failed start.
  }
  return -3;
}

std::int32_t BAV_Uninitialize() noexcept {
  kyv::plugin::InstallKernel(nullptr);
  return 0;
}

std::int32_t BAV_CALL BAV_CheckFile(const char* path, char* buffer) noexcept {
  const std::lock_guard lock(gKernelLock);
  // A host may carry on after a failed start: the kernel then scans with whatever loaded.
  // Only without any signature is there nothing sound to say: clean, buffer untouched.
  if (!gKernel || !gKernel->CanScan() || path == nullptr)
    return 0;
  try {
    const std::string trimmed = kyv::TrimBlanks(path);
    gKernel->ClearVerdict();
    gKernel->ScanFile(trimmed, {});
  } catch (...) {
    // An error while the top-level file itself was sampled: report what was gathered.
  }
  const std::int32_t code = gKernel->VerdictCode;
  if (code == 1 || code == 2) {
    kyv::plugin::CopyToBuffer(buffer, kVerdictBufferLength, gKernel->VerdictText);
    return code;
  }
  return 0;
}

} // extern "C"
