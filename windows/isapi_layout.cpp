// Compile-time proof that the ISAPI records the POSIX module declares for
// itself (isapi/isapi_records.h) are laid out exactly as the SDK's
// <httpfilt.h> that the DLL is built with: same sizes, same offsets, on
// 32-bit and 64-bit alike. A host written against the SDK then drives the
// POSIX module unchanged, and the DLL and the module read the same bytes.
// Nothing here is called; the file only has to compile.
#include <windows.h>
#include <httpfilt.h>

#include <cstddef>

namespace own {
// The types the records are written with, as the POSIX header defines them:
// DWORD a 32-bit unsigned, BOOL a 32-bit signed integer, pointers native.
typedef unsigned int DWORD;
typedef int BOOL;
typedef char CHAR;
typedef void* PVOID;
typedef void* LPVOID;
typedef char* LPSTR;
static_assert(sizeof(DWORD) == 4 && sizeof(BOOL) == 4);
#include "isapi/isapi_records.h"
}  // namespace own

#define RG_SAME_SIZE(record) \
  static_assert(sizeof(own::record) == sizeof(::record), #record " differs in size")
#define RG_SAME_OFFSET(record, member)                                        \
  static_assert(offsetof(own::record, member) == offsetof(::record, member) && \
                    sizeof(own::record::member) == sizeof(::record::member),   \
                #record "::" #member " differs")

RG_SAME_SIZE(HTTP_FILTER_VERSION);
RG_SAME_OFFSET(HTTP_FILTER_VERSION, dwServerFilterVersion);
RG_SAME_OFFSET(HTTP_FILTER_VERSION, dwFilterVersion);
RG_SAME_OFFSET(HTTP_FILTER_VERSION, lpszFilterDesc);
RG_SAME_OFFSET(HTTP_FILTER_VERSION, dwFlags);

RG_SAME_SIZE(HTTP_FILTER_CONTEXT);
RG_SAME_OFFSET(HTTP_FILTER_CONTEXT, cbSize);
RG_SAME_OFFSET(HTTP_FILTER_CONTEXT, Revision);
RG_SAME_OFFSET(HTTP_FILTER_CONTEXT, ServerContext);
RG_SAME_OFFSET(HTTP_FILTER_CONTEXT, ulReserved);
RG_SAME_OFFSET(HTTP_FILTER_CONTEXT, fIsSecurePort);
RG_SAME_OFFSET(HTTP_FILTER_CONTEXT, pFilterContext);
RG_SAME_OFFSET(HTTP_FILTER_CONTEXT, GetServerVariable);
RG_SAME_OFFSET(HTTP_FILTER_CONTEXT, AddResponseHeaders);
RG_SAME_OFFSET(HTTP_FILTER_CONTEXT, WriteClient);
RG_SAME_OFFSET(HTTP_FILTER_CONTEXT, AllocMem);
RG_SAME_OFFSET(HTTP_FILTER_CONTEXT, ServerSupportFunction);

RG_SAME_SIZE(HTTP_FILTER_RAW_DATA);
RG_SAME_OFFSET(HTTP_FILTER_RAW_DATA, pvInData);
RG_SAME_OFFSET(HTTP_FILTER_RAW_DATA, cbInData);
RG_SAME_OFFSET(HTTP_FILTER_RAW_DATA, cbInBuffer);
RG_SAME_OFFSET(HTTP_FILTER_RAW_DATA, dwReserved);

// HTTP_FILTER_SEND_RESPONSE is the same record as HTTP_FILTER_PREPROC_HEADERS
// in both.
RG_SAME_SIZE(HTTP_FILTER_SEND_RESPONSE);
RG_SAME_SIZE(HTTP_FILTER_PREPROC_HEADERS);
RG_SAME_OFFSET(HTTP_FILTER_SEND_RESPONSE, GetHeader);
RG_SAME_OFFSET(HTTP_FILTER_SEND_RESPONSE, SetHeader);
RG_SAME_OFFSET(HTTP_FILTER_SEND_RESPONSE, AddHeader);
RG_SAME_OFFSET(HTTP_FILTER_SEND_RESPONSE, HttpStatus);
RG_SAME_OFFSET(HTTP_FILTER_SEND_RESPONSE, dwReserved);

// The values the POSIX header writes as numbers, as the SDK defines them.
static_assert(HTTP_FILTER_REVISION == 0x00060000);
static_assert(SF_MAX_FILTER_DESC_LEN == 257);
static_assert(SF_NOTIFY_READ_RAW_DATA == 0x8000 && SF_NOTIFY_SEND_RESPONSE == 0x40 &&
              SF_NOTIFY_END_OF_NET_SESSION == 0x100);
static_assert(SF_NOTIFY_ORDER_HIGH == 0x80000 && SF_NOTIFY_ORDER_LOW == 0x20000);
static_assert(SF_STATUS_REQ_FINISHED == 0x8000000 && SF_STATUS_REQ_NEXT_NOTIFICATION == 0x8000002);
