// CKsAudPin: the pin of an audio filter. It keeps the pin's audio data ranges, answers whether a wave
// format fits them, places a wave format into the connection request and wraps the audio property
// requests of the streaming engine: the real-time (WaveRT) buffer with or without notification, the
// stream position and the driver's buffer duration.
#pragma once

#include "Service/Quillon/ks/KsList.h"
#include "Service/Quillon/ks/KsPin.h"

class CKsAudFilter;

// The connection request: KSPIN_CONNECT (72 bytes), the KSDATAFORMAT (64) and the wave format.
inline constexpr ULONG kKsConnectFormatOffset = sizeof(KSPIN_CONNECT);
inline constexpr ULONG kKsConnectWaveOffset = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT);
inline constexpr ULONG kKsConnectTemplateBytes = kKsConnectWaveOffset + sizeof(WAVEFORMATEX);  // 154

class CKsAudPin : public CKsPin {
public:
    CKsAudPin(CKsAudFilter* pFilter, ULONG pinId, HRESULT* phr);
    ~CKsAudPin() override;

    HRESULT Reinstantiate() override;
    // Closes the instance; its real-time buffer and position register go with it.
    void ClosePin() override;

    HRESULT Init();
    HRESULT SetFormat(WAVEFORMATEX* pwfx);
    BOOL IsFormatSupported(const WAVEFORMATEX* pwfx);
    WORD GetChannelsForFormat(const WAVEFORMATEX* pwfx);
    HRESULT AllocateBuffer(ULONG requestedSize, void** buffer, ULONG* size);
    HRESULT AllocateBuffersWithNotification(ULONG requestedSize, void** buffer, ULONG* size);
    void FreeBuffersWithNotification();
    HRESULT GetPosition(KSAUDIO_POSITION* position);
    HRESULT SetBufferDuration(ULONG value);

    // Read by the stream objects.
    KsList<KSDATARANGE_AUDIO> m_listDataRanges;  // 88-byte copies of the audio data ranges; owned
    CKsAudFilter* m_pAudFilter;
    WAVEFORMATEX* m_pWaveFormatEx;  // heap copy of the format last set; owned
    KSDATAFORMAT* m_pksDataFormatWfx;  // the data format inside m_pksPinConnect
    BOOL m_bLoopedSupported;
    void* m_pRtBuffer;
    ULONG m_cbRtBuffer;
    HANDLE m_hNotificationEvent;
    // The hardware's position register (bytes into the real-time buffer), when the driver gave one with a
    // width of 32 bits; read, never written. Null otherwise.
    const volatile ULONG* m_pPositionRegister = nullptr;

private:
    // The first range that passes every test (the channel test only when testChannels); null if none.
    const KSDATARANGE_AUDIO* MatchRange(const WAVEFORMATEX* pwfx, bool testChannels) const;
};

// Where the data range at `offset` of a pin's ranges (cbRanges bytes after the KSMULTIPLE_ITEM) is followed
// by the next: FormatSize on, rounded up to 8, past an attribute list when the range's Flags carry
// KSDATARANGE_ATTRIBUTES (the list itself 8-byte aligned). False when the attribute list does not fit.
bool KsNextDataRange(const BYTE* ranges, ULONG cbRanges, ULONG offset, const KSDATARANGE& range, ULONG* next);

// The size of a wave format: 18 for WAVE_FORMAT_PCM, 18 + cbSize for every other tag.
ULONG KsWaveFormatSize(const WAVEFORMATEX* pwfx);
