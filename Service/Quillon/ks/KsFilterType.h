// EKsFilterType: the kind of filter object an enumeration creates.
#pragma once

// Scoped: the MMDevice API's EDataFlow has values of the same names.
enum class EKsFilterType {
    eUnknown = 0,  // plain CKsFilter
    eRender = 1,   // CKsAudRenFilter
    eCapture = 2,  // CKsAudCapFilter
};
