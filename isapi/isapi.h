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

typedef struct _HTTP_FILTER_VERSION {
  DWORD dwServerFilterVersion;
  DWORD dwFilterVersion;
  CHAR lpszFilterDesc[SF_MAX_FILTER_DESC_LEN];
  DWORD dwFlags;
} HTTP_FILTER_VERSION, *PHTTP_FILTER_VERSION;

typedef struct _HTTP_FILTER_CONTEXT {
  DWORD cbSize;
  DWORD Revision;
  PVOID ServerContext;
  DWORD ulReserved;
  BOOL fIsSecurePort;
  PVOID pFilterContext;
  BOOL(WINAPI* GetServerVariable)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszVariableName,
                                  LPVOID lpvBuffer, DWORD* lpdwSize);
  BOOL(WINAPI* AddResponseHeaders)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszHeaders,
                                   DWORD dwReserved);
  BOOL(WINAPI* WriteClient)(struct _HTTP_FILTER_CONTEXT* pfc, LPVOID Buffer, DWORD* lpdwBytes,
                            DWORD dwReserved);
  VOID*(WINAPI* AllocMem)(struct _HTTP_FILTER_CONTEXT* pfc, DWORD cbSize, DWORD dwReserved);
  BOOL(WINAPI* ServerSupportFunction)(struct _HTTP_FILTER_CONTEXT* pfc, DWORD sfReq, PVOID pData,
                                      ULONG_PTR ul1, ULONG_PTR ul2);
} HTTP_FILTER_CONTEXT, *PHTTP_FILTER_CONTEXT;

typedef struct _HTTP_FILTER_RAW_DATA {
  PVOID pvInData;
  DWORD cbInData;
  DWORD cbInBuffer;
  DWORD dwReserved;
} HTTP_FILTER_RAW_DATA, *PHTTP_FILTER_RAW_DATA;

typedef struct _HTTP_FILTER_PREPROC_HEADERS {
  BOOL(WINAPI* GetHeader)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszName, LPVOID lpvBuffer,
                          DWORD* lpdwSize);
  BOOL(WINAPI* SetHeader)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszName, LPSTR lpszValue);
  BOOL(WINAPI* AddHeader)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszName, LPSTR lpszValue);
  DWORD HttpStatus;
  DWORD dwReserved;
} HTTP_FILTER_PREPROC_HEADERS, *PHTTP_FILTER_PREPROC_HEADERS;

typedef HTTP_FILTER_PREPROC_HEADERS HTTP_FILTER_SEND_RESPONSE;
typedef HTTP_FILTER_PREPROC_HEADERS* PHTTP_FILTER_SEND_RESPONSE;

#endif  // !_WIN32
