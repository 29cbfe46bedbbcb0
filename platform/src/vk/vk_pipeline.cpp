// Graphics pipelines, built once per state combination and cached by key.
#include "vk/vk_core.h"

#include <string.h>

size_t VkcKeyHash::operator()(const VkcPipelineKey &k) const {
    const unsigned char *p = (const unsigned char *)&k;
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < sizeof k; i++) h = (h ^ p[i]) * 1099511628211ull;
    return (size_t)h;
}

bool VkcKeyEq::operator()(const VkcPipelineKey &a, const VkcPipelineKey &b) const {
    return memcmp(&a, &b, sizeof a) == 0;
}

static VkPipeline create_pipeline(VkcCore *c, const VkcPipelineDesc *d) {
    const VkcPipelineKey &k = d->key;
    VkPipelineShaderStageCreateInfo stages[2] = {{VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO},
                                                 {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO}};
    stages[0].stage = VK_SHADER_STAGE_VERTEX_BIT;
    stages[0].module = d->vs;
    stages[0].pName = d->vs_entry;
    stages[1].stage = VK_SHADER_STAGE_FRAGMENT_BIT;
    stages[1].module = d->ps;
    stages[1].pName = d->ps_entry;

    VkVertexInputBindingDescription bindings[16];
    VkVertexInputAttributeDescription attrs[16];
    for (uint32_t i = 0; i < k.nbindings; i++)
        bindings[i] = {k.bindings[i].binding, k.bindings[i].stride,
                       k.bindings[i].per_instance ? VK_VERTEX_INPUT_RATE_INSTANCE : VK_VERTEX_INPUT_RATE_VERTEX};
    for (uint32_t i = 0; i < k.nattrs; i++)
        attrs[i] = {k.attrs[i].location, k.attrs[i].binding, (VkFormat)k.attrs[i].format, k.attrs[i].offset};
    VkPipelineVertexInputStateCreateInfo vi{VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO};
    vi.vertexBindingDescriptionCount = k.nbindings;
    vi.pVertexBindingDescriptions = bindings;
    vi.vertexAttributeDescriptionCount = k.nattrs;
    vi.pVertexAttributeDescriptions = attrs;

    VkPipelineInputAssemblyStateCreateInfo ia{VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO};
    ia.topology = (VkPrimitiveTopology)k.topology;
    VkPipelineViewportStateCreateInfo vp{VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO};
    vp.viewportCount = 1;
    vp.scissorCount = 1;
    VkPipelineRasterizationStateCreateInfo rs{VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO};
    rs.polygonMode = d->fill;
    rs.cullMode = d->cull;
    rs.frontFace = d->front;
    rs.depthBiasEnable = d->depth_bias != 0.0f || d->depth_bias_slope != 0.0f;
    rs.depthBiasConstantFactor = d->depth_bias;
    rs.depthBiasClamp = d->depth_bias_clamp;
    rs.depthBiasSlopeFactor = d->depth_bias_slope;
    rs.lineWidth = 1.0f;
    VkPipelineMultisampleStateCreateInfo ms{VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO};
    ms.rasterizationSamples = VK_SAMPLE_COUNT_1_BIT;
    VkPipelineDepthStencilStateCreateInfo ds{VK_STRUCTURE_TYPE_PIPELINE_DEPTH_STENCIL_STATE_CREATE_INFO};
    ds.depthTestEnable = k.depth_test ? VK_TRUE : VK_FALSE;
    ds.depthWriteEnable = k.depth_write ? VK_TRUE : VK_FALSE;
    ds.depthCompareOp = (VkCompareOp)k.depth_compare;
    VkPipelineColorBlendStateCreateInfo cb{VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO};
    cb.attachmentCount = 1;
    cb.pAttachments = &d->blend;
    VkDynamicState dyn[3] = {VK_DYNAMIC_STATE_VIEWPORT, VK_DYNAMIC_STATE_SCISSOR, VK_DYNAMIC_STATE_BLEND_CONSTANTS};
    VkPipelineDynamicStateCreateInfo dy{VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO};
    dy.dynamicStateCount = 3;
    dy.pDynamicStates = dyn;
    VkFormat color = (VkFormat)k.color_format;
    VkPipelineRenderingCreateInfo ri{VK_STRUCTURE_TYPE_PIPELINE_RENDERING_CREATE_INFO};
    ri.colorAttachmentCount = 1;
    ri.pColorAttachmentFormats = &color;
    ri.depthAttachmentFormat = (VkFormat)k.depth_format;

    VkGraphicsPipelineCreateInfo pi{VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO};
    pi.pNext = &ri;
    pi.stageCount = 2;
    pi.pStages = stages;
    pi.pVertexInputState = &vi;
    pi.pInputAssemblyState = &ia;
    pi.pViewportState = &vp;
    pi.pRasterizationState = &rs;
    pi.pMultisampleState = &ms;
    pi.pDepthStencilState = &ds;
    pi.pColorBlendState = &cb;
    pi.pDynamicState = &dy;
    pi.layout = c->pipeline_layout;
    VkPipeline p = VK_NULL_HANDLE;
    if (vkCreateGraphicsPipelines(c->dev, VK_NULL_HANDLE, 1, &pi, nullptr, &p) != VK_SUCCESS) return VK_NULL_HANDLE;
    return p;
}

VkPipeline vkc_pipeline_get(VkcCore *c, const VkcPipelineDesc *d) {
    auto it = c->pipelines.find(d->key);
    if (it != c->pipelines.end()) return it->second;
    VkPipeline p = create_pipeline(c, d);
    if (p) c->pipelines.emplace(d->key, p);
    return p;
}
