// ID3DBlob: a reference-counted byte buffer, used for compiled code and for
// compiler messages.
#pragma once
#include <d3dcompiler.h>

// A blob holding a copy of size bytes at data (zero-filled if data is null).
// Null when memory runs out.
ID3DBlob *hlsl_blob_create(const void *data, size_t size);
