// The function type of DetectionTrainer's methods: binds like a Python
// function, looks like one to `inspect` and `tf.function`, and runs a C++ body.
#pragma once

#include "bridge/method.h"

namespace corvane {

// How a parameter is checked on entry, after binding.
enum class Typing {
  None,
  NumberAt1,     // parameter 1 becomes Args::number (a double)
  DictsAt1And2,  // parameters 1 and 2 must be None or exactly a dict
};

struct FunctionDef {
  const char* name;           // short name, used in binding messages
  int first_line;             // binding failures and __code__.co_firstlineno
  const char* const* params;  // names, `self` first
  int nparams;
  int nrequired;
  Typing typing;
  int typing_line;    // where a failed NumberAt1 conversion is reported
  int defaults_line;  // where building __defaults__ is reported, 0 for the method's line
  Body body;
};

// Prepares the type; false with an exception set on failure.
bool function_type_ready();

// A method object for `def`: qualified name "DetectionTrainer.<name>", the
// module's globals, `doc` (may be None), the default objects of the trailing
// parameters and the annotations dictionary.
Ref make_function(const FunctionDef* def, PyObject* doc, PyObject* const* defaults, int ndefaults,
                  PyObject* annotations);

}  // namespace corvane
