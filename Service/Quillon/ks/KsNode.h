// CKsNode: one topology node of a filter.
#pragma once

#include "platform/win32.h"

inline constexpr ULONG kKsNodeTagNone = 0x454E4F4E;  // "NONE"

class CKsNode {
public:
    CKsNode(ULONG ulNodeId, const GUID& guidType);

    ULONG m_ulNodeId;  // its index in the filter's node list
    ULONG m_ulTag;     // "NONE"
    GUID m_guidType;
};
