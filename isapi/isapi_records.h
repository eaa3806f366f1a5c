// The ISAPI records as the published SDK lays them out, for systems without
// the SDK. Only the records: the types they use (DWORD, BOOL, WINAPI ...) and
// SF_MAX_FILTER_DESC_LEN come from the including file, so that the Windows
// build can include this file inside a namespace of its own and check every
// size and offset against the SDK's <httpfilt.h> (windows/isapi_layout.cpp).
// No include guard of its own: isapi.h includes it once.

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
