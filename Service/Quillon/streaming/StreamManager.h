// CStreamManager: owns the console's streaming devices and the two KS filter lists they are made from.
// Devices are kept in creation order; the running ones in the order they were started. The manager's
// lock is always taken before a device's lock, never the other way round.
#pragma once

#include <cstdint>
#include <vector>

#include "Service/Quillon/ks/KsAudCapFilter.h"
#include "Service/Quillon/ks/KsAudRenFilter.h"
#include "Service/Quillon/ks/KsEnumFilters.h"
#include "Service/Quillon/streaming/KSDevice.h"
#include "Service/common/CountedLock.h"

// One named speaker configuration the capture pin negotiation offers.
struct SpeakerConfiguration {
    const char* m_pszName;
    DWORD m_dwChannelMask;
};
inline constexpr int kSpeakerConfigurationCount = 10;
extern const SpeakerConfiguration g_SpeakerConfigurations[kSpeakerConfigurationCount];

class CStreamManager {
public:
    static constexpr std::uint32_t kCaptureSentinelValue = 0x5A5A5A5A;
    static constexpr LONGLONG kRenderMinRtPacketDuration = 20'000;  // ticks
    static constexpr std::size_t kSearchKeyChars = 256;
    static constexpr std::size_t kPathChars = 260;
    static constexpr std::size_t kDisplayNameBytes = 260;

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

    // Format negotiation on one console filter: the first format the filter accepts, or null.
    static CKsAudPin* OpenCapturePin(CKsAudCapFilter* filter, std::uint16_t channels);
    static CKsAudPin* OpenRenderPin(CKsAudRenFilter* filter, std::uint16_t channels);

    // The search key made from a model's pattern: lower case, backslashes as '#', at most 256 characters.
    static void MakeSearchKey(const char* pattern, char* key, std::size_t keySize);

    CKsEnumFilters* CaptureFilters() const { return m_pCaptureFilters; }
    CKsEnumFilters* RenderFilters() const { return m_pRenderFilters; }
    ConsoleHidLink& SpareHidLink() { return m_SpareHidLink; }

    // Snapshots for diagnostics and tests (taken under the manager lock).
    std::vector<CKSDevice*> Devices();
    std::vector<CKSDevice*> RunningDevices();
    LONG LockDepth() const { return m_Lock.Depth(); }

private:
    std::vector<CKSDevice*> CreateDevices(bool capture, const char* pattern, std::uint16_t channels,
                                          std::uint32_t frames);

    CCountedLock m_Lock;
    std::vector<CKSDevice*> m_Devices;  // creation order; owned
    std::vector<CKSDevice*> m_Running;  // start order
    CKsEnumFilters* m_pCaptureFilters = nullptr;
    CKsEnumFilters* m_pRenderFilters = nullptr;
    ConsoleHidLink m_SpareHidLink;
};
