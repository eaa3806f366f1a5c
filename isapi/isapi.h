// The ISAPI filter interface, written from the published SDK: record names,
// member order and values as a server expects them, so that a host written
// against that interface drives this module unchanged.
//
// DWORD is a 32-bit unsigned and BOOL a 32-bit signed integer; pointers are
// native. On Windows the SDK's own <httpfilt.h> is used instead.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#include <httpfilt.h>
#else

typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef char CHAR;
typedef void* PVOID;
typedef void* LPVOID;
typedef char* LPSTR;
typedef void VOID;
typedef uintptr_t ULONG_PTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define WINAPI

#define HTTP_FILTER_REVISION 0x00060000
#define SF_MAX_FILTER_DESC_LEN (256 + 1)

#define SF_NOTIFY_SECURE_PORT 0x00000001
#define SF_NOTIFY_NONSECURE_PORT 0x00000002
#define SF_NOTIFY_READ_RAW_DATA 0x00008000
#define SF_NOTIFY_PREPROC_HEADERS 0x00004000
#define SF_NOTIFY_AUTHENTICATION 0x00002000
#define SF_NOTIFY_URL_MAP 0x00001000
#define SF_NOTIFY_ACCESS_DENIED 0x00000800
#define SF_NOTIFY_SEND_RESPONSE 0x00000040
#define SF_NOTIFY_SEND_RAW_DATA 0x00000400
#define SF_NOTIFY_LOG 0x00000200
#define SF_NOTIFY_END_OF_REQUEST 0x00000080
#define SF_NOTIFY_END_OF_NET_SESSION 0x00000100

#define SF_NOTIFY_ORDER_HIGH 0x00080000
#define SF_NOTIFY_ORDER_MEDIUM 0x00040000
#define SF_NOTIFY_ORDER_LOW 0x00020000
#define SF_NOTIFY_ORDER_DEFAULT SF_NOTIFY_ORDER_LOW

enum SF_STATUS_TYPE : DWORD {
  SF_STATUS_REQ_FINISHED = 0x8000000,
  SF_STATUS_REQ_FINISHED_KEEP_CONN,
  SF_STATUS_REQ_NEXT_NOTIFICATION,
  SF_STATUS_REQ_HANDLED_NOTIFICATION,
  SF_STATUS_REQ_ERROR,
  SF_STATUS_REQ_READ_NEXT
};

#include "isapi/isapi_records.h"

#endif  // !_WIN32
