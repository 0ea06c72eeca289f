#pragma once

#include <list>
#include <string>

#include "net/IpAddress.h"

class HitNode {
  public:
    // Takes ownership of the given address: it is copied in and then freed.
    explicit HitNode(IpAddress* given);
    HitNode(const HitNode&) = delete;
    HitNode& operator=(const HitNode&) = delete;

    IpAddress address;
    HitNode* prev;
    HitNode* next;
};

// The answering addresses of a sweep, ascending and without duplicates, as a doubly linked list.
// Unguarded: the engine makes sure that inserting never overlaps clearing or copying out.
class HitList {
  public:
    HitList() = default;
    HitList(const HitList&) = delete;
    HitList& operator=(const HitList&) = delete;
    ~HitList();

    // The list owns the given address from the call on, also when it answers false (duplicate).
    bool insert(IpAddress* address);
    void copyTo(std::list<std::string>& target) const;
    void clear();

    static bool less(const IpAddress& a, const IpAddress& b);
    static bool equal(const IpAddress& a, const IpAddress& b);

    HitNode* first = nullptr;
    HitNode* last = nullptr;
};
