// The Win32 subset the engine uses, for the Linux build. Names, types and
// values are those of the Windows SDK so the same engine source compiles
// against either.
#pragma once
#include <stddef.h>
#include <stdint.h>

typedef int32_t HRESULT;
typedef int BOOL;
typedef unsigned int UINT;
typedef int INT;
typedef float FLOAT;
typedef unsigned char BYTE;
typedef uint8_t UINT8;
typedef uint16_t WORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef int64_t LONGLONG;
typedef uint64_t UINT64;
typedef uintptr_t UINT_PTR;
typedef size_t SIZE_T;
typedef const char *LPCSTR;
typedef const void *LPCVOID;
typedef void *LPVOID;
typedef void *HANDLE;
// On Linux an HWND carries an X11 Window id cast to a pointer.
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HMODULE;

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER;

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef GUID IID;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#define WINAPI
#define STDMETHODCALLTYPE

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)

#ifdef __cplusplus
typedef const IID &REFIID;
typedef const GUID &REFGUID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           *(const uint64_t *)a.Data4 == *(const uint64_t *)b.Data4;
}
#define IsEqualIID(a, b) IsEqualGUID(a, b)
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

extern "C" {
extern const IID IID_IUnknown;
#endif

// Monotonic clock in ticks of QueryPerformanceFrequency (nanoseconds here).
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount);
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency);

#ifdef __cplusplus
}
#endif
