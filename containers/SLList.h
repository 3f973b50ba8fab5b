// BaseSLList / SLList<T>: a circular singly linked list addressed by its last
// node (the first node is the last one's successor), with positions (Pix) that
// are node pointers; a null Pix means "none".
//
// The list owns its nodes and their items; copies are deep. Misuse (deleting
// after the last node, removing from an empty list, a null Pix) is reported to
// the error hook, which ignores it, and the operation does nothing.
// One thread at a time; the owner locks.
#ifndef VIGILD_CONTAINERS_SLLIST_H
#define VIGILD_CONTAINERS_SLLIST_H

struct BaseSLNode {
  BaseSLNode* tl;
};

using Pix = BaseSLNode*;

template <class T>
struct SLNode : BaseSLNode {
  explicit SLNode(const T& h) : hd(h) { tl = nullptr; }
  T hd;
};

class BaseSLList {
 public:
  virtual ~BaseSLList() = default;

  int length() const;
  int empty() const { return last == nullptr; }
  void clear();
  Pix first() const { return last == nullptr ? nullptr : last->tl; }
  void next(Pix& p) const { p = (p == nullptr || p == last) ? nullptr : p->tl; }
  int owns(Pix p) const;
  // Deletes the node after p; a null p deletes the first node.
  void del_after(Pix p);
  void del_front();
  int OK() const;

 protected:
  BaseSLList() : last(nullptr) {}

  // The typed node operations, in this order.
  virtual void delete_node(BaseSLNode* node) = 0;
  // A new node holding a copy of the item datum points at.
  virtual BaseSLNode* copy_node(const void* datum) = 0;
  // Copies the item held by node into the item dst points at.
  virtual void copy_item(void* dst, const BaseSLNode* node) = 0;

  // Receives the misuse messages; ignoring them keeps the list usable.
  virtual void error(const char* msg) const;

  Pix prepend(const void* datum);
  Pix append(const void* datum);
  Pix ins_after(Pix p, const void* datum);
  // 1 and the first item copied to dst, or 0 on an empty list.
  int remove_front(void* dst);
  // Moves every node of other to the end of this list; other ends empty.
  void join(BaseSLList& other);

  BaseSLNode* last;

 private:
  void _Link(BaseSLNode* node, BaseSLNode* after);
};

template <class T>
class SLList : public BaseSLList {
 public:
  SLList() = default;
  SLList(const SLList<T>& other) : BaseSLList() { _Copy(other); }
  SLList<T>& operator=(const SLList<T>& other) {
    if (this != &other) {
      clear();
      _Copy(other);
    }
    return *this;
  }
  ~SLList() override { clear(); }

  Pix prepend(const T& item) { return BaseSLList::prepend(&item); }
  Pix append(const T& item) { return BaseSLList::append(&item); }
  Pix ins_after(Pix p, const T& item) { return BaseSLList::ins_after(p, &item); }
  void join(SLList<T>& other) { BaseSLList::join(other); }
  // The first item, removed; a default item when the list is empty.
  T remove_front() {
    T item = T();
    BaseSLList::remove_front(&item);
    return item;
  }

  // The item at p. A null Pix is reported and yields a default item that
  // belongs to the calling thread, so misuse never dereferences null.
  T& operator()(Pix p) {
    if (p == nullptr) {
      error("null Pix");
      return _Dummy();
    }
    return static_cast<SLNode<T>*>(p)->hd;
  }
  const T& operator()(Pix p) const {
    if (p == nullptr) {
      error("null Pix");
      return _Dummy();
    }
    return static_cast<const SLNode<T>*>(p)->hd;
  }

 protected:
  void delete_node(BaseSLNode* node) override { delete static_cast<SLNode<T>*>(node); }
  BaseSLNode* copy_node(const void* datum) override {
    return new SLNode<T>(*static_cast<const T*>(datum));
  }
  void copy_item(void* dst, const BaseSLNode* node) override {
    *static_cast<T*>(dst) = static_cast<const SLNode<T>*>(node)->hd;
  }

 private:
  // Each node is duplicated through copy_node, so no item is shared.
  void _Copy(const SLList<T>& other) {
    for (Pix p = other.first(); p != nullptr; other.next(p)) {
      append(static_cast<const SLNode<T>*>(p)->hd);
    }
  }

  static T& _Dummy() {
    thread_local T dummy;
    dummy = T();
    return dummy;
  }
};

#endif  // VIGILD_CONTAINERS_SLLIST_H
