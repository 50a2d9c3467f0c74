// EKsFilterType: the kind of filter object an enumeration creates.
#pragma once

enum EKsFilterType {
    eUnknown = 0,  // plain CKsFilter
    eRender = 1,   // CKsAudRenFilter
    eCapture = 2,  // CKsAudCapFilter
};
