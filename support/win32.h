#pragma once
// The one way our Windows sources include <windows.h>. Its A/W-switching macros rename our own
// functions of the same name (durable::ReplaceFile became ReplaceFileW at its definition only), so
// they are removed here; our code calls the W functions by their full names.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef ReplaceFile
#undef CreateFile
#undef DeleteFile
#undef MoveFile
#undef CopyFile
#undef GetMessage
#undef SendMessage
#undef PostMessage
#undef LoadString
#undef GetObject
#undef CreateProcess
#undef CreateDirectory
#undef RemoveDirectory
#undef GetCommandLine
