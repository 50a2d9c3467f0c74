// KsList: the KS layer's doubly linked list of object pointers (head, tail, count; nodes hold next,
// previous and the item). Items are appended at the tail and walked from the head; a list is emptied by
// unlinking its head node again and again. Whether a list owns its items is said where it is declared.
#pragma once

#include <new>

#include "platform/win32.h"

template <class T>
class KsList {
public:
    struct Node {
        Node* pNext;
        Node* pPrev;
        T* pItem;
    };

    KsList() = default;
    ~KsList() {
        while (!IsEmpty()) RemoveHead();
    }
    KsList(const KsList&) = delete;
    KsList& operator=(const KsList&) = delete;

    // False when no node could be had; the item is then not in the list.
    bool AddTail(T* item) {
        Node* node = new (std::nothrow) Node{nullptr, m_pTail, item};
        if (!node) return false;
        if (m_pTail) m_pTail->pNext = node;
        else m_pHead = node;
        m_pTail = node;
        ++m_ulCount;
        return true;
    }
    // Unlinks the head node and returns its item; null when the list is empty.
    T* RemoveHead() {
        Node* node = m_pHead;
        if (!node) return nullptr;
        m_pHead = node->pNext;
        if (m_pHead) m_pHead->pPrev = nullptr;
        else m_pTail = nullptr;
        --m_ulCount;
        T* item = node->pItem;
        delete node;
        return item;
    }
    Node* GetHead() const { return m_pHead; }
    Node* GetTail() const { return m_pTail; }
    ULONG GetCount() const { return m_ulCount; }
    bool IsEmpty() const { return m_ulCount == 0; }

private:
    Node* m_pHead = nullptr;
    Node* m_pTail = nullptr;
    ULONG m_ulCount = 0;
};
