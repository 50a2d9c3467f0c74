#include "Service/Quillon/streaming/StreamManager.h"

#include <algorithm>

CStreamManager::CStreamManager() = default;

CStreamManager::~CStreamManager() {
    DestroyAll();
    delete m_pCaptureFilters;
    delete m_pRenderFilters;
}

void CStreamManager::CreateFilterLists() {
    m_pCaptureFilters = new CKsEnumFilters();
    m_pRenderFilters = new CKsEnumFilters();
}

std::vector<CKSDevice*> CStreamManager::CreateCaptureDevices(const char*, std::uint16_t, std::uint32_t) {
    // No console filter can be opened yet: the KS layer arrives later.
    return {};
}

std::vector<CKSDevice*> CStreamManager::CreateRenderDevices(const char*, std::uint16_t, std::uint32_t) { return {}; }

bool CStreamManager::StartAll() { return false; }
bool CStreamManager::StopAll() { return true; }

bool CStreamManager::RemoveDevice(CKSDevice* device) {
    CLockGuard guard(m_Lock);
    for (auto* list : {&m_CaptureDevices, &m_RenderDevices}) {
        auto it = std::find(list->begin(), list->end(), device);
        if (it != list->end()) {
            list->erase(it);
            delete device;
            return true;
        }
    }
    return false;
}

bool CStreamManager::DestroyAll() {
    CLockGuard guard(m_Lock);
    for (CKSDevice* d : m_CaptureDevices) delete d;
    for (CKSDevice* d : m_RenderDevices) delete d;
    m_CaptureDevices.clear();
    m_RenderDevices.clear();
    return true;
}

bool CStreamManager::RefreshFilterLists() {
    CLockGuard guard(m_Lock);
    if (!m_CaptureDevices.empty() && !m_RenderDevices.empty()) return false;
    if (m_pCaptureFilters) m_pCaptureFilters->EnumCaptureFilters();
    if (m_pRenderFilters) m_pRenderFilters->EnumRenderFilters();
    return true;
}
