#include "SLList.h"

void BaseSLList::error(const char*) const {}

int BaseSLList::length() const {
  int count = 0;
  for (Pix p = first(); p != nullptr; next(p)) {
    ++count;
  }
  return count;
}

void BaseSLList::clear() {
  if (last == nullptr) {
    return;
  }
  BaseSLNode* p = last->tl;
  last->tl = nullptr;
  last = nullptr;
  while (p != nullptr) {
    BaseSLNode* following = p->tl;
    delete_node(p);
    p = following;
  }
}

int BaseSLList::owns(Pix p) const {
  if (p == nullptr) {
    return 0;
  }
  for (Pix q = first(); q != nullptr; next(q)) {
    if (q == p) {
      return 1;
    }
  }
  return 0;
}

void BaseSLList::_Link(BaseSLNode* node, BaseSLNode* after) {
  if (last == nullptr) {
    node->tl = node;
    last = node;
    return;
  }
  node->tl = after->tl;
  after->tl = node;
}

Pix BaseSLList::prepend(const void* datum) {
  BaseSLNode* node = copy_node(datum);
  _Link(node, last);
  return node;
}

Pix BaseSLList::append(const void* datum) {
  BaseSLNode* node = copy_node(datum);
  _Link(node, last);
  last = node;
  return node;
}

Pix BaseSLList::ins_after(Pix p, const void* datum) {
  if (p == nullptr) {
    return prepend(datum);
  }
  BaseSLNode* node = copy_node(datum);
  _Link(node, p);
  if (p == last) {
    last = node;
  }
  return node;
}

void BaseSLList::del_after(Pix p) {
  if (p == nullptr) {
    del_front();
    return;
  }
  if (last == nullptr || p == last) {
    error("cannot del_after last");
    return;
  }
  BaseSLNode* victim = p->tl;
  p->tl = victim->tl;
  if (victim == last) {
    last = p;
  }
  delete_node(victim);
}

void BaseSLList::del_front() {
  if (last == nullptr) {
    error("del_front of empty list");
    return;
  }
  BaseSLNode* victim = last->tl;
  if (victim == last) {
    last = nullptr;
  } else {
    last->tl = victim->tl;
  }
  delete_node(victim);
}

int BaseSLList::remove_front(void* dst) {
  if (last == nullptr) {
    error("remove_front of empty list");
    return 0;
  }
  copy_item(dst, last->tl);
  del_front();
  return 1;
}

void BaseSLList::join(BaseSLList& other) {
  if (&other == this || other.last == nullptr) {
    return;
  }
  if (last != nullptr) {
    BaseSLNode* head = last->tl;
    last->tl = other.last->tl;
    other.last->tl = head;
  }
  last = other.last;
  other.last = nullptr;
}

int BaseSLList::OK() const {
  if (last == nullptr) {
    return 1;
  }
  // A sound list comes back to its last node; a broken link shows as a null.
  for (BaseSLNode* p = last->tl; p != last; p = p->tl) {
    if (p == nullptr) {
      error("invariant failure");
      return 0;
    }
  }
  return 1;
}
