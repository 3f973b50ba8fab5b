// ArgOpt: a plain accessor over the program's argument vector that matches
// whole arguments ("-f", the dash included) and returns the arguments that
// follow a match. Missing values come back as `vide`, never as null.
//
// Owned by main; it points into the caller's argv, which must outlive it.
// Safe for concurrent use once initialised (it only reads).
#ifndef VIGILD_UTILS_ARGOPT_H
#define VIGILD_UTILS_ARGOPT_H

// The empty C string returned for a missing value.
extern const char* const vide;

class ArgOpt {
 public:
  ArgOpt();
  ArgOpt(int argc, char** argv);

  // Stores the vector; returns 1.
  int Init(int argc, char** argv);

  // Index (1 ... argc-1) of the first argument equal to `arg`, or -1.
  int GetPosition(const char* arg) const;
  // 1 when some argument equals `arg`, else 0.
  int IsPresent(const char* arg) const;
  // The first, second or third argument after the first match that has that
  // many arguments after it; `vide` when there is none.
  const char* GetValue(const char* arg) const;
  const char* GetValue2(const char* arg) const;
  const char* GetValue3(const char* arg) const;

  int Length() const { return argc; }
  // argv[i] for 0 <= i < argc, else null.
  const char* operator[](int i) const;

 private:
  // The argument `offset` places after the first match among positions
  // 1 ... argc-1-offset, or vide.
  const char* _ValueAfter(const char* arg, int offset) const;

  int argc;
  char** argv;
};

#endif  // VIGILD_UTILS_ARGOPT_H
