// CStreamManager: owns the console's streaming devices and the two KS filter lists they are made from.
#pragma once

#include <vector>

#include "Service/Quillon/ks/KsEnumFilters.h"
#include "Service/Quillon/streaming/KSDevice.h"
#include "Service/common/CountedLock.h"

class CStreamManager {
public:
    CStreamManager();
    ~CStreamManager();
    CStreamManager(const CStreamManager&) = delete;
    CStreamManager& operator=(const CStreamManager&) = delete;

    // Creates the two filter lists, capture first.
    void CreateFilterLists();

    std::vector<CKSDevice*> CreateCaptureDevices(const char* pattern, std::uint16_t channels, std::uint32_t frames);
    std::vector<CKSDevice*> CreateRenderDevices(const char* pattern, std::uint16_t channels, std::uint32_t frames);
    bool StartAll();
    bool StopAll();
    bool RemoveDevice(CKSDevice* device);
    bool DestroyAll();
    // False while the manager still holds both capture and render devices from an earlier bridge.
    bool RefreshFilterLists();

    CKsEnumFilters* CaptureFilters() const { return m_pCaptureFilters; }
    CKsEnumFilters* RenderFilters() const { return m_pRenderFilters; }
    ConsoleHidLink& SpareHidLink() { return m_SpareHidLink; }

private:
    CCountedLock m_Lock;
    std::vector<CKSDevice*> m_CaptureDevices;
    std::vector<CKSDevice*> m_RenderDevices;
    CKsEnumFilters* m_pCaptureFilters = nullptr;
    CKsEnumFilters* m_pRenderFilters = nullptr;
    ConsoleHidLink m_SpareHidLink;
};
