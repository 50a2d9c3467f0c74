#include "Service/Quillon/ks/KsNode.h"

#include "Service/Quillon/ks/KsDebug.h"

CKsNode::CKsNode(ULONG ulNodeId, const GUID& guidType) : m_ulNodeId(ulNodeId), m_ulTag(kKsNodeTagNone), m_guidType(guidType) {
    KsTraceEnter("CKsNode::CKsNode()");
    KsTraceLeave("CKsNode::CKsNode", S_OK);
}
