// Graphics pipelines, built once per state combination and cached by key.
#include "vk/vk_core.h"

#include <string.h>

size_t VkcKeyHash::operator()(const VkcPipelineKey &k) const {
    uint64_t words[sizeof k / 8];
    memcpy(words, &k, sizeof k);
    uint64_t h = 0x9e3779b97f4a7c15ull;
    for (uint64_t w : words) h = (h ^ w) * 0xff51afd7ed558ccdull, h ^= h >> 32;
    return (size_t)h;
}

bool VkcKeyEq::operator()(const VkcPipelineKey &a, const VkcPipelineKey &b) const {
    return memcmp(&a, &b, sizeof a) == 0;
}

static VkPipeline create_pipeline(VkcCore *c, const VkcPipelineDesc *d) {
    VkPipelineShaderStageCreateInfo stages[2] = {{VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO},
                                                 {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO}};
    stages[0].stage = VK_SHADER_STAGE_VERTEX_BIT;
    stages[0].module = d->vs;
    stages[0].pName = d->vs_entry;
    stages[1].stage = VK_SHADER_STAGE_FRAGMENT_BIT;
    stages[1].module = d->ps;
    stages[1].pName = d->ps_entry;

    VkPipelineVertexInputStateCreateInfo vi{VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO};
    vi.vertexBindingDescriptionCount = d->nbindings;
    vi.pVertexBindingDescriptions = d->bindings;
    vi.vertexAttributeDescriptionCount = d->nattrs;
    vi.pVertexAttributeDescriptions = d->attrs;

    VkPipelineInputAssemblyStateCreateInfo ia{VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO};
    ia.topology = d->topology;
    VkPipelineViewportStateCreateInfo vp{VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO};
    vp.viewportCount = 1;
    vp.scissorCount = 1;
    VkPipelineRasterizationStateCreateInfo rs{VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO};
    rs.polygonMode = d->fill;
    rs.cullMode = d->cull;
    rs.frontFace = d->front;
    rs.lineWidth = 1.0f;
    // A device without the feature (lavapipe and desktop drivers have it)
    // keeps clipping at near and far.
    rs.depthClampEnable = d->depth_clamp && c->depth_clamp ? VK_TRUE : VK_FALSE;
    VkPipelineMultisampleStateCreateInfo ms{VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO};
    ms.rasterizationSamples = VK_SAMPLE_COUNT_1_BIT;
    VkPipelineDepthStencilStateCreateInfo ds{VK_STRUCTURE_TYPE_PIPELINE_DEPTH_STENCIL_STATE_CREATE_INFO};
    ds.depthTestEnable = d->depth_test ? VK_TRUE : VK_FALSE;
    ds.depthWriteEnable = d->depth_write ? VK_TRUE : VK_FALSE;
    ds.depthCompareOp = d->depth_compare;
    VkPipelineColorBlendStateCreateInfo cb{VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO};
    cb.attachmentCount = 1;
    cb.pAttachments = &d->blend;
    VkDynamicState dyn[3] = {VK_DYNAMIC_STATE_VIEWPORT, VK_DYNAMIC_STATE_SCISSOR, VK_DYNAMIC_STATE_BLEND_CONSTANTS};
    VkPipelineDynamicStateCreateInfo dy{VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO};
    dy.dynamicStateCount = 3;
    dy.pDynamicStates = dyn;
    VkFormat color = d->color_format;
    VkPipelineRenderingCreateInfo ri{VK_STRUCTURE_TYPE_PIPELINE_RENDERING_CREATE_INFO};
    ri.colorAttachmentCount = 1;
    ri.pColorAttachmentFormats = &color;
    ri.depthAttachmentFormat = d->depth_format;

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

VkPipeline vkc_pipeline_find(VkcCore *c, const VkcPipelineKey &key) {
    auto it = c->pipelines.find(key);
    return it != c->pipelines.end() ? it->second : VK_NULL_HANDLE;
}

VkPipeline vkc_pipeline_add(VkcCore *c, const VkcPipelineKey &key, const VkcPipelineDesc &d) {
    VkPipeline p = create_pipeline(c, &d);
    if (p) c->pipelines.emplace(key, p);
    return p;
}
