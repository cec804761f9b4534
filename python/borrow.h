// Borrow flags: one call at a time may change an instance, and no call reads it meanwhile.
#ifndef FENRO_PYTHON_BORROW_H_
#define FENRO_PYTHON_BORROW_H_

namespace fenro::python {

// An instance's borrow state: 0 free, n > 0 shared borrows, -1 one exclusive borrow. It guards
// against Python code run during argument conversion calling back into the same instance: a
// call that only reads takes a shared borrow, one that changes state an exclusive one, each for
// the whole call.
class Borrow {
 public:
  enum Kind { kShared, kExclusive };
  // Takes the borrow, or sets RuntimeError ("Already borrowed" when an exclusive borrow is
  // refused, "Already mutably borrowed" when a shared one is; errors.h) and leaves ok() false.
  Borrow(int& flag, Kind kind);
  ~Borrow();
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  bool ok() const { return held_; }

 private:
  int& flag_;
  Kind kind_;
  bool held_ = false;
};

}  // namespace fenro::python

#endif  // FENRO_PYTHON_BORROW_H_
