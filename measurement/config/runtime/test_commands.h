// A private registrar with a handful of test commands (opcodes from 100 on,
// which no standard family owns), to drive the evaluator without the
// standard command families.
//
//   (100 args...)        log: records the values, yields the last (evaluated)
//   (101 code)           fail: sets that glint code (evaluated)
//   (102 stmt)           repeat: evaluates stmt until it fails (raw)
//   (103 "name")         get: the name's value in scope (evaluated)
//   (104 "name" value)   set: assignment through the chain (evaluated)
//   (105 "name" value)   declare: in the current scope (evaluated)
//   (106 "name" "p,q" body...)  fn: a function value defined here (raw)
//   (107 [value])        return: a return control (evaluated)
//   (108 a b)            add: the sum of two numbers (evaluated)
//   (109 k v ...)        map: a map literal (evaluated)
//   (110 a b)            checked: yields a; exactly 2, counted first (evaluated)
//   (111 stmt...)        raw: yields the first argument unevaluated (raw)
//   (112 values...)      array: an array literal (evaluated)
//   (113 a b)            less: a < b (evaluated)
//   (114 c then [else])  if: evaluates one branch (raw)
#pragma once

#include <string>
#include <vector>

#include "measurement/config/runtime/QZMPCommandRegistrar.h"

// The registrar above; the array method "first" and the string method
// "size" are registered too.
const QZMPCommandRegistrar& QZMPTestRegistrar();
// What (100 ...) recorded, in assembler notation; cleared by the caller.
std::vector<std::string>& QZMPTestLog();
