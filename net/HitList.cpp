#include "net/HitList.h"

#include <new>

HitNode::HitNode(IpAddress* given) : address(*given), prev(nullptr), next(nullptr) {
    delete given;
}

namespace {

// Out of memory loses this one hit rather than the sweep; the address is freed either way.
HitNode* makeNode(IpAddress* address) {
    HitNode* node = new (std::nothrow) HitNode(address);
    if (node == nullptr)
        delete address;
    return node;
}

} // namespace

HitList::~HitList() {
    clear();
}

// Walks from the largest address down: replies of an ascending sweep mostly land at the end.
bool HitList::insert(IpAddress* address) {
    if (last == nullptr) {
        HitNode* node = makeNode(address);
        if (node == nullptr)
            return false;
        first = last = node;
        return true;
    }

    HitNode* below = last;
    while (below != nullptr) {
        if (less(*address, below->address)) {
            below = below->prev;
        } else if (equal(below->address, *address)) {
            delete address;
            return false;
        } else {
            break;
        }
    }

    HitNode* node = makeNode(address);
    if (node == nullptr)
        return false;
    if (below == nullptr) {
        node->next = first;
        first->prev = node;
        first = node;
    } else {
        node->prev = below;
        node->next = below->next;
        below->next = node;
        if (node->next != nullptr)
            node->next->prev = node;
    }
    if (less(last->address, node->address))
        last = node;
    return true;
}

void HitList::copyTo(std::list<std::string>& target) const {
    for (const HitNode* node = first; node != nullptr; node = node->next)
        target.push_back(node->address.text());
}

void HitList::clear() {
    HitNode* node = first;
    while (node != nullptr) {
        HitNode* following = node->next;
        delete node;
        node = following;
    }
    first = nullptr;
    last = nullptr;
}

bool HitList::less(const IpAddress& a, const IpAddress& b) {
    for (int i = 0; i < 4; ++i) {
        if (a.octet(i) < b.octet(i))
            return true;
        if (a.octet(i) > b.octet(i))
            return false;
    }
    return false;
}

bool HitList::equal(const IpAddress& a, const IpAddress& b) {
    for (int i = 0; i < 4; ++i) {
        if (a.octet(i) != b.octet(i))
            return false;
    }
    return true;
}
