// What the Win32 parts of the core share (the file source, the live mapping and files): text
// conversions and the system's error messages. Windows only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/error.h"

namespace corvex {

// UTF-8 of `length` wide characters.
std::string utf8_of(const wchar_t* text, int length);
// The system's description of `code`, as "<description> (os error <code>)".
IbtError win32_error(DWORD code);
// The wide-character form of a UTF-8 path; invalid UTF-8 is an error.
Result<std::wstring> wide_path(std::string_view path);
// Fills `out` from the file at `offset` with ReadFile, whatever the handle's position; a file
// that ends first (cut since it was `size` bytes long) gives cut_short_error.
Result<void> read_file_at(HANDLE handle, uint64_t offset, std::span<uint8_t> out, uint64_t size);

}  // namespace corvex
