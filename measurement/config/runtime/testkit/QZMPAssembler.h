// Test assembler: program messages from a compact text, so that a test case
// fits on one table row. For tests only.
//
//   form       literal | statement | entity
//   literal    12  -1.5  1e21  NaN  Infinity  -Infinity     number entities
//              "text"                                       string entity (\" \\ \n \t \r \uXXXX, \xHH for a raw byte)
//              true  false                                  Boolean entities
//              undefined  null                              the statements (44) and (45)
//   statement  ( name form* )
//              name: decimal digits, kept as written ("022" stays "022");
//                    a mnemonic of the opcode table below ("+", "if", "get", ...);
//                    $name, a call of the script function "name";
//                    "any text", a statement of exactly that name.
//   entity     { field=value ... form* }   an entity field by field, for
//              malformed input: type=N name="..." string="..." bool=true|false
//              number=X; the forms are its arguments. {} has no field at all.
//   ; a comment runs to the end of the line.
//
// A program is a sequence of forms (its statements) and activities:
//   (#activity "ruleName" form*)   an activity calling ruleName with each data form.
//
// The output is protocol-buffer bytes, decoded by the real message runtime.
// New opcodes get a mnemonic by a line in kQZMPMnemonics (QZMPAssembler.cpp).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/proto/generated/QZMPBMessages.h"
#include "platform/foundation/Error.h"

// Exactly one form as the bytes of one QZMPBRuntimeEntity.
foundation::Result<std::string> QZMPAssembleEntityBytes(std::string_view text);
// A program as the bytes of a QZMPBProgram.
foundation::Result<std::string> QZMPAssembleProgramBytes(std::string_view text);

foundation::Result<std::shared_ptr<QZMPBRuntimeEntity>> QZMPAssembleEntity(std::string_view text);
foundation::Result<std::shared_ptr<QZMPBProgram>> QZMPAssembleProgram(std::string_view text);
// The top-level statements of a program text, as the runtime takes them.
foundation::Result<std::vector<std::shared_ptr<QZMPBRuntimeEntity>>> QZMPAssembleStatements(std::string_view text);

// The opcode a mnemonic stands for, or nullptr.
const char* QZMPOpcodeForMnemonic(std::string_view mnemonic);
