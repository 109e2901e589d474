#include <windows.h>
#include <rpc.h>

#include "platform/system.h"
#include "platform/text.h"
#include "support/machine_text.h"

namespace platform {

OsVersion os_version() {
  // GetVersionEx lies to programs without a compatibility manifest;
  // ntdll's RtlGetVersion does not.
  OsVersion version;
  using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOEXW*);
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto rtl_get_version = ntdll ? reinterpret_cast<RtlGetVersionFn>(
                                           reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
                                     : nullptr;
  if (!rtl_get_version) return version;
  RTL_OSVERSIONINFOEXW info;
  ZeroMemory(&info, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  rtl_get_version(&info);
  version.known = true;
  version.major = info.dwMajorVersion;
  version.minor = info.dwMinorVersion;
  version.service_pack_major = info.wServicePackMajor;
  version.service_pack_minor = info.wServicePackMinor;
  return version;
}

std::uint64_t total_physical_memory() {
  MEMORYSTATUSEX status;
  ZeroMemory(&status, sizeof status);
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

std::string machine_guid_text() {
  // The 32-bit launcher must read the 64-bit view on 64-bit Windows, where
  // the value lives.
  const REGSAM access = is_64bit_os() ? (KEY_READ | KEY_WOW64_64KEY) : KEY_READ;
  HKEY key = nullptr;
  LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Cryptography", 0, access, &key);
  if (result != ERROR_SUCCESS) return machine_guid_error_text(result, static_cast<long>(GetLastError()));
  // One character more than offered to the call: a value stored without its
  // terminating zero still ends inside the buffer.
  wchar_t buffer[129] = {};
  DWORD size = 128 * sizeof(wchar_t);
  result = RegQueryValueExW(key, L"MachineGuid", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
  const DWORD last_error = GetLastError();
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return machine_guid_error_text(result, static_cast<long>(last_error));
  return utf8_from_wide(buffer);
}

std::string new_uuid_text() {
  // A local-only UUID is not unique beyond this machine: treated as failure.
  UUID uuid;
  if (UuidCreateSequential(&uuid) != RPC_S_OK) return {};
  RPC_WSTR text = nullptr;
  if (UuidToStringW(&uuid, &text) != RPC_S_OK || !text) return {};
  const std::string result = utf8_from_wide(reinterpret_cast<const wchar_t*>(text));
  RpcStringFreeW(&text);
  return result;
}

namespace {
std::string locale_info(LCTYPE type) {
  wchar_t buffer[200] = {};
  if (GetLocaleInfoEx(L"!x-sys-default-locale", type, buffer, 200) == 0) return kUnknownLocaleText;
  return utf8_from_wide(buffer);
}
}  // namespace

SystemLocale system_locale() {
  // The numeric values, since older SDK headers lack some of the names.
  return SystemLocale{locale_info(0x5B /* LOCALE_IGEOID */), locale_info(0x5A /* LOCALE_SISO3166CTRYNAME */),
                      locale_info(0x5C /* LOCALE_SNAME */)};
}

}  // namespace platform
