// The one door to Windows: every C++ source, the tests' and helpers' too,
// includes this header, never <windows.h> directly, so the whole program
// sees the same ANSI build and the same target version (Windows XP and
// later). The resource scripts, which windres reads, include <windows.h>.
#pragma once

#undef UNICODE
#undef _UNICODE
#ifndef STRICT
#define STRICT
#endif

#include <windows.h>
#include <windowsx.h>
#include <commctrl.h>
#include <shlwapi.h>

// The values the tool's behaviour is defined by. Should a header ever
// disagree, the build stops here rather than the tool misbehaving quietly.
static_assert(LB_INSERTSTRING == 0x181, "LB_INSERTSTRING");
static_assert(LB_RESETCONTENT == 0x184, "LB_RESETCONTENT");
static_assert((MB_YESNO | MB_ICONEXCLAMATION) == 0x34, "confirmation box flags");
static_assert(MB_ICONINFORMATION == 0x40, "completion box flags");
static_assert(IDYES == 6, "IDYES");
static_assert(KEY_ALL_ACCESS == 0xF003F, "KEY_ALL_ACCESS");
static_assert(ERROR_SUCCESS == 0, "ERROR_SUCCESS");
#ifdef BRISVANE_TWIN
// The 64-bit twin that the tests also run under 64-bit Wine; never shipped.
static_assert(sizeof(void *) == 8, "the twin is a 64-bit program");
#else
static_assert(sizeof(void *) == 4, "the tool is a 32-bit x86 program");
#endif
