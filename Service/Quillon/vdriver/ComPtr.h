// Small owners for COM results: an interface pointer released when the owner ends, a PROPVARIANT cleared
// with PropVariantClear, and a string the callee allocated with CoTaskMemAlloc.
#pragma once

#include "platform/win32.h"

template <class Interface>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            Reset();
            m_p = other.m_p;
            other.m_p = nullptr;
        }
        return *this;
    }

    Interface* Get() const { return m_p; }
    Interface* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // The slot an out-parameter fills; whatever was held is released first.
    Interface** Put() {
        Reset();
        return &m_p;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    // Gives the pointer, with its reference, to the caller.
    Interface* Detach() {
        Interface* p = m_p;
        m_p = nullptr;
        return p;
    }
    void Reset() {
        if (m_p) m_p->Release();
        m_p = nullptr;
    }

private:
    Interface* m_p = nullptr;
};

class PropVariant {
public:
    PropVariant() { PropVariantInit(&m_Value); }
    ~PropVariant() { PropVariantClear(&m_Value); }
    PropVariant(const PropVariant&) = delete;
    PropVariant& operator=(const PropVariant&) = delete;

    PROPVARIANT* Put() {
        PropVariantClear(&m_Value);
        return &m_Value;
    }
    const PROPVARIANT& Get() const { return m_Value; }
    PROPVARIANT& Get() { return m_Value; }
    // The string, when the value holds one.
    const WCHAR* String() const { return m_Value.vt == VT_LPWSTR ? m_Value.pwszVal : nullptr; }

private:
    PROPVARIANT m_Value;
};

class CoTaskString {
public:
    CoTaskString() = default;
    ~CoTaskString() { CoTaskMemFree(m_p); }
    CoTaskString(const CoTaskString&) = delete;
    CoTaskString& operator=(const CoTaskString&) = delete;

    LPWSTR* Put() {
        CoTaskMemFree(m_p);
        m_p = nullptr;
        return &m_p;
    }
    const WCHAR* Get() const { return m_p; }

private:
    LPWSTR m_p = nullptr;
};
