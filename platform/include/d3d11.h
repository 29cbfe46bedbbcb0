// The Direct3D 11 subset the engine uses, for the Linux build (implemented
// over Vulkan by the platform layer).
#pragma once
#include "d3dcommon.h"
#include "dxgi.h"

#define D3D11_SDK_VERSION 7
#define D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT 14
#define D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT 32
#define D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT 8
#define D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION 16384
#define D3D11_VIEWPORT_BOUNDS_MIN (-32768)
#define D3D11_VIEWPORT_BOUNDS_MAX 32767
#define D3D11_REQ_CONSTANT_BUFFER_ELEMENT_COUNT 4096
#define D3D11_APPEND_ALIGNED_ELEMENT 0xffffffff
#define D3D11_DEFAULT_SAMPLE_MASK 0xffffffff

typedef D3D_PRIMITIVE_TOPOLOGY D3D11_PRIMITIVE_TOPOLOGY;

typedef enum D3D11_CREATE_DEVICE_FLAG {
    D3D11_CREATE_DEVICE_SINGLETHREADED = 0x1,
    D3D11_CREATE_DEVICE_DEBUG = 0x2,
    D3D11_CREATE_DEVICE_SWITCH_TO_REF = 0x4,
    D3D11_CREATE_DEVICE_PREVENT_INTERNAL_THREADING_OPTIMIZATIONS = 0x8,
    D3D11_CREATE_DEVICE_BGRA_SUPPORT = 0x20,
} D3D11_CREATE_DEVICE_FLAG;

typedef enum D3D11_USAGE {
    D3D11_USAGE_DEFAULT = 0,
    D3D11_USAGE_IMMUTABLE = 1,
    D3D11_USAGE_DYNAMIC = 2,
    D3D11_USAGE_STAGING = 3,
} D3D11_USAGE;

typedef enum D3D11_BIND_FLAG {
    D3D11_BIND_VERTEX_BUFFER = 0x1,
    D3D11_BIND_INDEX_BUFFER = 0x2,
    D3D11_BIND_CONSTANT_BUFFER = 0x4,
    D3D11_BIND_SHADER_RESOURCE = 0x8,
    D3D11_BIND_STREAM_OUTPUT = 0x10,
    D3D11_BIND_RENDER_TARGET = 0x20,
    D3D11_BIND_DEPTH_STENCIL = 0x40,
    D3D11_BIND_UNORDERED_ACCESS = 0x80,
} D3D11_BIND_FLAG;

typedef enum D3D11_CPU_ACCESS_FLAG {
    D3D11_CPU_ACCESS_WRITE = 0x10000,
    D3D11_CPU_ACCESS_READ = 0x20000,
} D3D11_CPU_ACCESS_FLAG;

typedef enum D3D11_MAP {
    D3D11_MAP_READ = 1,
    D3D11_MAP_WRITE = 2,
    D3D11_MAP_READ_WRITE = 3,
    D3D11_MAP_WRITE_DISCARD = 4,
    D3D11_MAP_WRITE_NO_OVERWRITE = 5,
} D3D11_MAP;

typedef enum D3D11_MAP_FLAG {
    D3D11_MAP_FLAG_DO_NOT_WAIT = 0x100000,
} D3D11_MAP_FLAG;

typedef enum D3D11_INPUT_CLASSIFICATION {
    D3D11_INPUT_PER_VERTEX_DATA = 0,
    D3D11_INPUT_PER_INSTANCE_DATA = 1,
} D3D11_INPUT_CLASSIFICATION;

typedef enum D3D11_BLEND {
    D3D11_BLEND_ZERO = 1,
    D3D11_BLEND_ONE = 2,
    D3D11_BLEND_SRC_COLOR = 3,
    D3D11_BLEND_INV_SRC_COLOR = 4,
    D3D11_BLEND_SRC_ALPHA = 5,
    D3D11_BLEND_INV_SRC_ALPHA = 6,
    D3D11_BLEND_DEST_ALPHA = 7,
    D3D11_BLEND_INV_DEST_ALPHA = 8,
    D3D11_BLEND_DEST_COLOR = 9,
    D3D11_BLEND_INV_DEST_COLOR = 10,
    D3D11_BLEND_SRC_ALPHA_SAT = 11,
    D3D11_BLEND_BLEND_FACTOR = 14,
    D3D11_BLEND_INV_BLEND_FACTOR = 15,
    D3D11_BLEND_SRC1_COLOR = 16,
    D3D11_BLEND_INV_SRC1_COLOR = 17,
    D3D11_BLEND_SRC1_ALPHA = 18,
    D3D11_BLEND_INV_SRC1_ALPHA = 19,
} D3D11_BLEND;

typedef enum D3D11_BLEND_OP {
    D3D11_BLEND_OP_ADD = 1,
    D3D11_BLEND_OP_SUBTRACT = 2,
    D3D11_BLEND_OP_REV_SUBTRACT = 3,
    D3D11_BLEND_OP_MIN = 4,
    D3D11_BLEND_OP_MAX = 5,
} D3D11_BLEND_OP;

typedef enum D3D11_COLOR_WRITE_ENABLE {
    D3D11_COLOR_WRITE_ENABLE_RED = 1,
    D3D11_COLOR_WRITE_ENABLE_GREEN = 2,
    D3D11_COLOR_WRITE_ENABLE_BLUE = 4,
    D3D11_COLOR_WRITE_ENABLE_ALPHA = 8,
    D3D11_COLOR_WRITE_ENABLE_ALL = 15,
} D3D11_COLOR_WRITE_ENABLE;

typedef enum D3D11_FILL_MODE {
    D3D11_FILL_WIREFRAME = 2,
    D3D11_FILL_SOLID = 3,
} D3D11_FILL_MODE;

typedef enum D3D11_CULL_MODE {
    D3D11_CULL_NONE = 1,
    D3D11_CULL_FRONT = 2,
    D3D11_CULL_BACK = 3,
} D3D11_CULL_MODE;

typedef enum D3D11_RTV_DIMENSION {
    D3D11_RTV_DIMENSION_UNKNOWN = 0,
    D3D11_RTV_DIMENSION_BUFFER = 1,
    D3D11_RTV_DIMENSION_TEXTURE1D = 2,
    D3D11_RTV_DIMENSION_TEXTURE1DARRAY = 3,
    D3D11_RTV_DIMENSION_TEXTURE2D = 4,
} D3D11_RTV_DIMENSION;

typedef enum D3D11_DSV_DIMENSION {
    D3D11_DSV_DIMENSION_UNKNOWN = 0,
    D3D11_DSV_DIMENSION_TEXTURE1D = 1,
    D3D11_DSV_DIMENSION_TEXTURE1DARRAY = 2,
    D3D11_DSV_DIMENSION_TEXTURE2D = 3,
} D3D11_DSV_DIMENSION;

typedef enum D3D11_DEPTH_WRITE_MASK {
    D3D11_DEPTH_WRITE_MASK_ZERO = 0,
    D3D11_DEPTH_WRITE_MASK_ALL = 1,
} D3D11_DEPTH_WRITE_MASK;

typedef enum D3D11_COMPARISON_FUNC {
    D3D11_COMPARISON_NEVER = 1,
    D3D11_COMPARISON_LESS = 2,
    D3D11_COMPARISON_EQUAL = 3,
    D3D11_COMPARISON_LESS_EQUAL = 4,
    D3D11_COMPARISON_GREATER = 5,
    D3D11_COMPARISON_NOT_EQUAL = 6,
    D3D11_COMPARISON_GREATER_EQUAL = 7,
    D3D11_COMPARISON_ALWAYS = 8,
} D3D11_COMPARISON_FUNC;

typedef enum D3D11_STENCIL_OP {
    D3D11_STENCIL_OP_KEEP = 1,
    D3D11_STENCIL_OP_ZERO = 2,
    D3D11_STENCIL_OP_REPLACE = 3,
    D3D11_STENCIL_OP_INCR_SAT = 4,
    D3D11_STENCIL_OP_DECR_SAT = 5,
    D3D11_STENCIL_OP_INVERT = 6,
    D3D11_STENCIL_OP_INCR = 7,
    D3D11_STENCIL_OP_DECR = 8,
} D3D11_STENCIL_OP;

typedef enum D3D11_CLEAR_FLAG {
    D3D11_CLEAR_DEPTH = 0x1,
    D3D11_CLEAR_STENCIL = 0x2,
} D3D11_CLEAR_FLAG;

typedef enum D3D11_RESOURCE_DIMENSION {
    D3D11_RESOURCE_DIMENSION_UNKNOWN = 0,
    D3D11_RESOURCE_DIMENSION_BUFFER = 1,
    D3D11_RESOURCE_DIMENSION_TEXTURE1D = 2,
    D3D11_RESOURCE_DIMENSION_TEXTURE2D = 3,
    D3D11_RESOURCE_DIMENSION_TEXTURE3D = 4,
} D3D11_RESOURCE_DIMENSION;

typedef struct D3D11_BUFFER_DESC {
    UINT ByteWidth;
    D3D11_USAGE Usage;
    UINT BindFlags;
    UINT CPUAccessFlags;
    UINT MiscFlags;
    UINT StructureByteStride;
} D3D11_BUFFER_DESC;

typedef struct D3D11_SUBRESOURCE_DATA {
    const void *pSysMem;
    UINT SysMemPitch;
    UINT SysMemSlicePitch;
} D3D11_SUBRESOURCE_DATA;

typedef struct D3D11_TEXTURE2D_DESC {
    UINT Width;
    UINT Height;
    UINT MipLevels;
    UINT ArraySize;
    DXGI_FORMAT Format;
    DXGI_SAMPLE_DESC SampleDesc;
    D3D11_USAGE Usage;
    UINT BindFlags;
    UINT CPUAccessFlags;
    UINT MiscFlags;
} D3D11_TEXTURE2D_DESC;

typedef struct D3D11_MAPPED_SUBRESOURCE {
    void *pData;
    UINT RowPitch;
    UINT DepthPitch;
} D3D11_MAPPED_SUBRESOURCE;

typedef struct D3D11_TEX2D_RTV {
    UINT MipSlice;
} D3D11_TEX2D_RTV;

typedef struct D3D11_RENDER_TARGET_VIEW_DESC {
    DXGI_FORMAT Format;
    D3D11_RTV_DIMENSION ViewDimension;
    union {
        D3D11_TEX2D_RTV Texture2D;
    };
} D3D11_RENDER_TARGET_VIEW_DESC;

typedef struct D3D11_TEX2D_DSV {
    UINT MipSlice;
} D3D11_TEX2D_DSV;

typedef struct D3D11_DEPTH_STENCIL_VIEW_DESC {
    DXGI_FORMAT Format;
    D3D11_DSV_DIMENSION ViewDimension;
    UINT Flags;
    union {
        D3D11_TEX2D_DSV Texture2D;
    };
} D3D11_DEPTH_STENCIL_VIEW_DESC;

typedef struct D3D11_DEPTH_STENCILOP_DESC {
    D3D11_STENCIL_OP StencilFailOp;
    D3D11_STENCIL_OP StencilDepthFailOp;
    D3D11_STENCIL_OP StencilPassOp;
    D3D11_COMPARISON_FUNC StencilFunc;
} D3D11_DEPTH_STENCILOP_DESC;

typedef struct D3D11_DEPTH_STENCIL_DESC {
    BOOL DepthEnable;
    D3D11_DEPTH_WRITE_MASK DepthWriteMask;
    D3D11_COMPARISON_FUNC DepthFunc;
    BOOL StencilEnable;
    UINT8 StencilReadMask;
    UINT8 StencilWriteMask;
    D3D11_DEPTH_STENCILOP_DESC FrontFace;
    D3D11_DEPTH_STENCILOP_DESC BackFace;
} D3D11_DEPTH_STENCIL_DESC;

typedef struct D3D11_INPUT_ELEMENT_DESC {
    LPCSTR SemanticName;
    UINT SemanticIndex;
    DXGI_FORMAT Format;
    UINT InputSlot;
    UINT AlignedByteOffset;
    D3D11_INPUT_CLASSIFICATION InputSlotClass;
    UINT InstanceDataStepRate;
} D3D11_INPUT_ELEMENT_DESC;

typedef struct D3D11_RENDER_TARGET_BLEND_DESC {
    BOOL BlendEnable;
    D3D11_BLEND SrcBlend;
    D3D11_BLEND DestBlend;
    D3D11_BLEND_OP BlendOp;
    D3D11_BLEND SrcBlendAlpha;
    D3D11_BLEND DestBlendAlpha;
    D3D11_BLEND_OP BlendOpAlpha;
    UINT8 RenderTargetWriteMask;
} D3D11_RENDER_TARGET_BLEND_DESC;

typedef struct D3D11_BLEND_DESC {
    BOOL AlphaToCoverageEnable;
    BOOL IndependentBlendEnable;
    D3D11_RENDER_TARGET_BLEND_DESC RenderTarget[8];
} D3D11_BLEND_DESC;

typedef struct D3D11_RASTERIZER_DESC {
    D3D11_FILL_MODE FillMode;
    D3D11_CULL_MODE CullMode;
    BOOL FrontCounterClockwise;
    INT DepthBias;
    FLOAT DepthBiasClamp;
    FLOAT SlopeScaledDepthBias;
    BOOL DepthClipEnable;
    BOOL ScissorEnable;
    BOOL MultisampleEnable;
    BOOL AntialiasedLineEnable;
} D3D11_RASTERIZER_DESC;

typedef struct D3D11_VIEWPORT {
    FLOAT TopLeftX;
    FLOAT TopLeftY;
    FLOAT Width;
    FLOAT Height;
    FLOAT MinDepth;
    FLOAT MaxDepth;
} D3D11_VIEWPORT;

#ifdef __cplusplus
struct ID3D11Device;
struct ID3D11ClassLinkage;
struct ID3D11ClassInstance;

struct ID3D11DeviceChild : public IUnknown {
    virtual void STDMETHODCALLTYPE GetDevice(ID3D11Device **ppDevice) = 0;
};

struct ID3D11Resource : public ID3D11DeviceChild {
    virtual void STDMETHODCALLTYPE GetType(D3D11_RESOURCE_DIMENSION *pResourceDimension) = 0;
};

struct ID3D11Buffer : public ID3D11Resource {
    virtual void STDMETHODCALLTYPE GetDesc(D3D11_BUFFER_DESC *pDesc) = 0;
};

struct ID3D11Texture2D : public ID3D11Resource {
    virtual void STDMETHODCALLTYPE GetDesc(D3D11_TEXTURE2D_DESC *pDesc) = 0;
};

struct ID3D11View : public ID3D11DeviceChild {
    virtual void STDMETHODCALLTYPE GetResource(ID3D11Resource **ppResource) = 0;
};

struct ID3D11RenderTargetView : public ID3D11View {};
struct ID3D11DepthStencilView : public ID3D11View {};
struct ID3D11DepthStencilState : public ID3D11DeviceChild {};
struct ID3D11VertexShader : public ID3D11DeviceChild {};
struct ID3D11PixelShader : public ID3D11DeviceChild {};
struct ID3D11InputLayout : public ID3D11DeviceChild {};
struct ID3D11BlendState : public ID3D11DeviceChild {};
struct ID3D11RasterizerState : public ID3D11DeviceChild {};

struct ID3D11DeviceContext : public ID3D11DeviceChild {
    virtual void STDMETHODCALLTYPE VSSetConstantBuffers(UINT StartSlot, UINT NumBuffers,
                                                        ID3D11Buffer *const *ppConstantBuffers) = 0;
    virtual void STDMETHODCALLTYPE PSSetShader(ID3D11PixelShader *pPixelShader,
                                               ID3D11ClassInstance *const *ppClassInstances,
                                               UINT NumClassInstances) = 0;
    virtual void STDMETHODCALLTYPE VSSetShader(ID3D11VertexShader *pVertexShader,
                                               ID3D11ClassInstance *const *ppClassInstances,
                                               UINT NumClassInstances) = 0;
    virtual void STDMETHODCALLTYPE Draw(UINT VertexCount, UINT StartVertexLocation) = 0;
    virtual HRESULT STDMETHODCALLTYPE Map(ID3D11Resource *pResource, UINT Subresource,
                                          D3D11_MAP MapType, UINT MapFlags,
                                          D3D11_MAPPED_SUBRESOURCE *pMappedResource) = 0;
    virtual void STDMETHODCALLTYPE Unmap(ID3D11Resource *pResource, UINT Subresource) = 0;
    virtual void STDMETHODCALLTYPE PSSetConstantBuffers(UINT StartSlot, UINT NumBuffers,
                                                        ID3D11Buffer *const *ppConstantBuffers) = 0;
    virtual void STDMETHODCALLTYPE IASetInputLayout(ID3D11InputLayout *pInputLayout) = 0;
    virtual void STDMETHODCALLTYPE IASetVertexBuffers(UINT StartSlot, UINT NumBuffers,
                                                      ID3D11Buffer *const *ppVertexBuffers,
                                                      const UINT *pStrides, const UINT *pOffsets) = 0;
    virtual void STDMETHODCALLTYPE DrawInstanced(UINT VertexCountPerInstance, UINT InstanceCount,
                                                 UINT StartVertexLocation, UINT StartInstanceLocation) = 0;
    virtual void STDMETHODCALLTYPE IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY Topology) = 0;
    virtual void STDMETHODCALLTYPE OMSetRenderTargets(UINT NumViews,
                                                      ID3D11RenderTargetView *const *ppRenderTargetViews,
                                                      ID3D11DepthStencilView *pDepthStencilView) = 0;
    virtual void STDMETHODCALLTYPE OMSetBlendState(ID3D11BlendState *pBlendState,
                                                   const FLOAT BlendFactor[4], UINT SampleMask) = 0;
    virtual void STDMETHODCALLTYPE RSSetState(ID3D11RasterizerState *pRasterizerState) = 0;
    virtual void STDMETHODCALLTYPE RSSetViewports(UINT NumViewports, const D3D11_VIEWPORT *pViewports) = 0;
    virtual void STDMETHODCALLTYPE CopyResource(ID3D11Resource *pDstResource, ID3D11Resource *pSrcResource) = 0;
    virtual void STDMETHODCALLTYPE ClearRenderTargetView(ID3D11RenderTargetView *pRenderTargetView,
                                                         const FLOAT ColorRGBA[4]) = 0;
    virtual void STDMETHODCALLTYPE Flush() = 0;
    virtual void STDMETHODCALLTYPE OMSetDepthStencilState(ID3D11DepthStencilState *pDepthStencilState,
                                                          UINT StencilRef) = 0;
    virtual void STDMETHODCALLTYPE ClearDepthStencilView(ID3D11DepthStencilView *pDepthStencilView,
                                                         UINT ClearFlags, FLOAT Depth, UINT8 Stencil) = 0;
};

struct ID3D11Device : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateBuffer(const D3D11_BUFFER_DESC *pDesc,
                                                   const D3D11_SUBRESOURCE_DATA *pInitialData,
                                                   ID3D11Buffer **ppBuffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateTexture2D(const D3D11_TEXTURE2D_DESC *pDesc,
                                                      const D3D11_SUBRESOURCE_DATA *pInitialData,
                                                      ID3D11Texture2D **ppTexture2D) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateRenderTargetView(ID3D11Resource *pResource,
                                                             const D3D11_RENDER_TARGET_VIEW_DESC *pDesc,
                                                             ID3D11RenderTargetView **ppRTView) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateInputLayout(const D3D11_INPUT_ELEMENT_DESC *pInputElementDescs,
                                                        UINT NumElements,
                                                        const void *pShaderBytecodeWithInputSignature,
                                                        SIZE_T BytecodeLength,
                                                        ID3D11InputLayout **ppInputLayout) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateVertexShader(const void *pShaderBytecode, SIZE_T BytecodeLength,
                                                         ID3D11ClassLinkage *pClassLinkage,
                                                         ID3D11VertexShader **ppVertexShader) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreatePixelShader(const void *pShaderBytecode, SIZE_T BytecodeLength,
                                                        ID3D11ClassLinkage *pClassLinkage,
                                                        ID3D11PixelShader **ppPixelShader) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateBlendState(const D3D11_BLEND_DESC *pBlendStateDesc,
                                                       ID3D11BlendState **ppBlendState) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateRasterizerState(const D3D11_RASTERIZER_DESC *pRasterizerDesc,
                                                            ID3D11RasterizerState **ppRasterizerState) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceRemovedReason() = 0;
    virtual void STDMETHODCALLTYPE GetImmediateContext(ID3D11DeviceContext **ppImmediateContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateDepthStencilView(ID3D11Resource *pResource,
                                                             const D3D11_DEPTH_STENCIL_VIEW_DESC *pDesc,
                                                             ID3D11DepthStencilView **ppDepthStencilView) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateDepthStencilState(const D3D11_DEPTH_STENCIL_DESC *pDepthStencilDesc,
                                                              ID3D11DepthStencilState **ppDepthStencilState) = 0;
};

extern "C" {
extern const IID IID_ID3D11DeviceChild;
extern const IID IID_ID3D11Resource;
extern const IID IID_ID3D11Buffer;
extern const IID IID_ID3D11Texture2D;
extern const IID IID_ID3D11View;
extern const IID IID_ID3D11RenderTargetView;
extern const IID IID_ID3D11DepthStencilView;
extern const IID IID_ID3D11DepthStencilState;
extern const IID IID_ID3D11VertexShader;
extern const IID IID_ID3D11PixelShader;
extern const IID IID_ID3D11InputLayout;
extern const IID IID_ID3D11BlendState;
extern const IID IID_ID3D11RasterizerState;
extern const IID IID_ID3D11DeviceContext;
extern const IID IID_ID3D11Device;

HRESULT WINAPI D3D11CreateDevice(IDXGIAdapter *pAdapter, D3D_DRIVER_TYPE DriverType, HMODULE Software,
                                 UINT Flags, const D3D_FEATURE_LEVEL *pFeatureLevels, UINT FeatureLevels,
                                 UINT SDKVersion, ID3D11Device **ppDevice, D3D_FEATURE_LEVEL *pFeatureLevel,
                                 ID3D11DeviceContext **ppImmediateContext);
}
#endif
