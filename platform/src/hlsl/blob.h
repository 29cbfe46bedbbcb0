// ID3DBlob: a reference-counted byte buffer, used for compiled code and for
// compiler messages.
#pragma once
#include <d3dcompiler.h>

#include <string>

// A blob holding a copy of size bytes at data (zero-filled if data is null).
// Null when memory runs out.
ID3DBlob *hlsl_blob_create(const void *data, size_t size);

// Compiler messages as fxc gives them: a blob of the text with its NUL.
// Nothing for an empty text or a null pp.
void hlsl_blob_messages(ID3DBlob **pp, const std::string &text);

// What every D3DCompile does first: clears both outputs, passes the fault
// hook, and refuses a call without source, entry point, target or code output
// (E_INVALIDARG, with a message naming the source). S_OK to go on.
HRESULT hlsl_compile_begin(LPCVOID src, const std::string &name, LPCSTR entry, LPCSTR target, ID3DBlob **code,
                           ID3DBlob **messages);
