#!/usr/bin/env python3
"""Generates a message set's code from its schema file.

The schema file lists every message with the columns of the message tables
(field ID, tag, flag word, type, name, optional default). From it this script
writes, into the output folder:
  <package>.proto           the proto2 schema, read by nanopb's generator and protoc
  <package>.pb.h, .pb.c     nanopb's codec structs and descriptors (run through
                            nanopb_generator.py)
  <code>.h, <code>.cpp      one schema constant per message and its named
                            per-message functions over the NANO runtime
  <classes>.h, .cpp         with a 'classes PREFIX FILE' line: one message class
                            per message (PREFIX + name) over NANOMessageBase,
                            with a constant for every field ID

It refuses an input it cannot trust: wrong counts, gaps in field IDs, repeated
tags or names, flag words that disagree with the type, unknown sub-messages.

Usage: protogen.py SCHEMA [--out DIR] [--nanopb-generator PATH]
Without --out the files go to the folder the schema names with "generated".
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

SINGULAR, REPEATED = 0x2, 0x8
MESSAGE = 0x4000

# Type column -> (kind bit, type in the .proto).
SCALARS = {
    "bool": (0x20, "bool"),
    "enum": (0x40, "uint32"),
    "int32": (0x80, "int32"),
    "uint32": (0x100, "uint32"),
    "int64": (0x200, "int64"),
    "uint64": (0x400, "uint64"),
    "float": (0x800, "float"),
    "double": (0x1000, "double"),
    "string": (0x2000, "string"),
    "bytes": (0x8000, "bytes"),
}
# Kinds the runtime can hold in a list (one varint or one length-delimited value per item).
LIST_KINDS = {"uint32", "int64", "uint64", "string", "bytes"}
KIND_BITS = 0xFFE0

# Names that would break the C struct or the C++ code that includes it.
RESERVED = set("""
alignas alignof and and_eq asm auto bitand bitor bool break case catch char char8_t char16_t
char32_t class compl concept const consteval constexpr constinit const_cast continue co_await
co_return co_yield decltype default delete do double dynamic_cast else enum explicit export
extern false float for friend goto if inline int long mutable namespace new noexcept not not_eq
nullptr operator or or_eq private protected public register reinterpret_cast requires restrict
return short signed sizeof static static_assert static_cast struct switch template this
thread_local throw true try typedef typeid typename union unsigned using virtual void volatile
wchar_t while xor xor_eq
""".split())

IDENTIFIER = re.compile(r"^[A-Za-z][A-Za-z0-9_]*$")


class SchemaError(Exception):
    pass


class Field:
    def __init__(self, line, id, tag, flags, type, name, default):
        self.line, self.id, self.tag, self.flags = line, id, tag, flags
        self.type, self.name, self.default = type, name, default
        self.repeated = type.endswith("[]")
        self.base = type[:-2] if self.repeated else type
        self.message = None  # resolved Message for sub-message fields

    @property
    def is_message(self):
        return self.base not in SCALARS


class Message:
    def __init__(self, line, name, declared):
        self.line, self.name, self.declared = line, name, declared
        self.fields = []
        self.is_item = False  # appears as the item of a list
        self.has_arrays = False


class Catalogue:
    def __init__(self):
        self.package = None
        self.code = None
        self.generated = None
        self.declared = None
        self.class_prefix = None
        self.class_file = None
        self.messages = []


def parse_int(text, line, what):
    try:
        return int(text, 0)
    except ValueError:
        raise SchemaError(f"line {line}: {what} '{text}' is not a number")


def parse(text):
    cat = Catalogue()
    current = None
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        words = line.split()
        head = words[0]
        if head in ("package", "code", "generated", "messages"):
            if len(words) != 2:
                raise SchemaError(f"line {number}: '{head}' takes one value")
            if head == "messages":
                cat.declared = parse_int(words[1], number, "message count")
            else:
                setattr(cat, head, words[1])
        elif head == "classes":
            if len(words) != 3:
                raise SchemaError(f"line {number}: expected 'classes PREFIX FILE'")
            cat.class_prefix, cat.class_file = words[1], words[2]
        elif head == "message":
            if len(words) != 3:
                raise SchemaError(f"line {number}: expected 'message NAME FIELD-COUNT'")
            current = Message(number, words[1], parse_int(words[2], number, "field count"))
            cat.messages.append(current)
        else:
            if current is None:
                raise SchemaError(f"line {number}: field row outside a message")
            if len(words) not in (5, 6):
                raise SchemaError(f"line {number}: expected 'ID TAG FLAGS TYPE NAME [default=VALUE]'")
            default = None
            if len(words) == 6:
                if not words[5].startswith("default="):
                    raise SchemaError(f"line {number}: unexpected '{words[5]}'")
                default = words[5][len("default="):]
            current.fields.append(Field(
                number,
                parse_int(words[0], number, "field ID"),
                parse_int(words[1], number, "tag"),
                parse_int(words[2], number, "flag word"),
                words[3], words[4], default))
    return cat


def check(cat):
    errors = []

    def fail(line, text):
        errors.append(f"line {line}: {text}")

    for key in ("package", "code", "generated"):
        if getattr(cat, key) is None:
            fail(0, f"missing '{key}'")
    for key in ("package", "code"):
        value = getattr(cat, key)
        if value is not None and not IDENTIFIER.match(value):
            fail(0, f"{key} '{value}' is not an identifier")
    for key in ("class_prefix", "class_file"):
        value = getattr(cat, key)
        if value is not None and not IDENTIFIER.match(value):
            fail(0, f"classes: '{value}' is not an identifier")
    if cat.class_file is not None and cat.class_file in (cat.code, cat.package):
        fail(0, f"classes: the file '{cat.class_file}' would overwrite another output")
    if cat.declared is None:
        fail(0, "missing 'messages'")
    elif cat.declared != len(cat.messages):
        fail(0, f"'messages' says {cat.declared}, the file has {len(cat.messages)}")

    by_name = {}
    for m in cat.messages:
        if not IDENTIFIER.match(m.name) or m.name in RESERVED:
            fail(m.line, f"message name '{m.name}' is not usable")
        if m.name in by_name:
            fail(m.line, f"message {m.name} is declared twice")
        by_name[m.name] = m

    for m in cat.messages:
        if m.declared != len(m.fields):
            fail(m.line, f"{m.name} declares {m.declared} fields and lists {len(m.fields)}")
        if not m.fields:
            fail(m.line, f"{m.name} has no fields")
        tags, names, constants = {}, {}, {}
        for position, f in enumerate(m.fields):
            if position >= 32767:
                fail(f.line, f"{m.name}: more fields than a tag table can index")
            if f.id != position:
                fail(f.line, f"{m.name}: field ID {f.id} where {position} comes next (IDs run 0, 1, 2, ...)")
            if not (1 <= f.tag <= 536870911) or 19000 <= f.tag <= 19999:
                fail(f.line, f"{m.name}: tag {f.tag} is not a usable field number")
            if f.tag in tags:
                fail(f.line, f"{m.name}: tag {f.tag} is used by {tags[f.tag]} and {f.name}")
            tags.setdefault(f.tag, f.name)
            if not IDENTIFIER.match(f.name) or f.name in RESERVED:
                fail(f.line, f"{m.name}: field name '{f.name}' is not usable")
            if f.name in names:
                fail(f.line, f"{m.name}: field name {f.name} is used twice")
            names[f.name] = f
            constant = field_constant(f)
            if constant in constants:
                fail(f.line, f"{m.name}: fields {constants[constant]} and {f.name} share the constant {constant}")
            constants.setdefault(constant, f.name)
            if f.is_message:
                f.message = by_name.get(f.base)
                if f.message is None:
                    fail(f.line, f"{m.name}.{f.name}: no message {f.base}")
                kind = MESSAGE
            else:
                kind = SCALARS[f.base][0]
            label = REPEATED if f.repeated else SINGULAR
            if f.flags != (kind | label):
                fail(f.line, f"{m.name}.{f.name}: flag word {f.flags:#x} does not match type {f.type} ({kind | label:#x})")
            if f.repeated and not f.is_message and f.base not in LIST_KINDS:
                fail(f.line, f"{m.name}.{f.name}: the runtime holds no list of {f.base}")
            if f.default is not None:
                check_default(f, m, fail)

    if errors:
        raise SchemaError("\n".join(errors))

    # A message that contains itself without a list in between has no finite codec struct.
    def embeds(m, path):
        for f in m.fields:
            if f.is_message and not f.repeated:
                if f.message in path:
                    cycle = " -> ".join(x.name for x in path + [f.message])
                    raise SchemaError(f"line {f.line}: {cycle} embeds itself; only a list may recurse")
                embeds(f.message, path + [f.message])
    for m in cat.messages:
        embeds(m, [m])

    for m in cat.messages:
        for f in m.fields:
            if f.is_message and f.repeated:
                f.message.is_item = True

    def has_arrays(m):
        return any(f.repeated or (f.is_message and has_arrays(f.message)) for f in m.fields)
    for m in cat.messages:
        m.has_arrays = has_arrays(m)


def field_constant(f):
    """The name of a field's ID constant: snake_case becomes kCamelCase."""
    return "k" + "".join(part[:1].upper() + part[1:] for part in f.name.split("_"))


def check_default(f, m, fail):
    if f.repeated or f.is_message or f.base in ("string", "bytes"):
        fail(f.line, f"{m.name}.{f.name}: only a singular scalar may declare a default")
    elif f.base == "bool":
        if f.default not in ("true", "false"):
            fail(f.line, f"{m.name}.{f.name}: default '{f.default}' is not true or false")
    elif f.base in ("float", "double"):
        try:
            float(f.default)
        except ValueError:
            fail(f.line, f"{m.name}.{f.name}: default '{f.default}' is not a number")
    elif not re.match(r"^-?[0-9]+$", f.default):
        fail(f.line, f"{m.name}.{f.name}: default '{f.default}' is not an integer")


def banner(schema_name, comment):
    return f"{comment} Generated by protogen.py from {schema_name}. Do not edit.\n"


def emit_proto(cat, schema_name):
    out = [banner(schema_name, "//"), 'syntax = "proto2";\n', f"package {cat.package};\n"]
    for m in cat.messages:
        out.append(f"\nmessage {m.name} {{\n")
        for f in sorted(m.fields, key=lambda f: f.tag):
            label = "repeated" if f.repeated else "optional"
            type = f.base if f.is_message else SCALARS[f.base][1]
            default = f" [default = {f.default}]" if f.default is not None else ""
            out.append(f"  {label} {type} {f.name} = {f.tag}{default};\n")
        out.append("}\n")
    return "".join(out)


def run_nanopb(generator, proto_dir, proto_name, out_dir):
    command = [generator, "--quiet", "-I", proto_dir, "-D", out_dir, os.path.join(proto_dir, proto_name)]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise SchemaError("nanopb_generator.py failed:\n" + result.stdout + result.stderr)


def has_cell(f):
    """Whether the field's value is a scalar cell, which the record keeps in its own block."""
    return not f.repeated and not f.is_message and f.base not in ("string", "bytes")


def cell_of(m, f):
    """The field's position among the record's own cells, -1 for none."""
    return [g for g in m.fields if has_cell(g)].index(f) if has_cell(f) else -1


# Tags up to this one find their field through a table; higher ones (rare)
# through a search of the fields in tag order.
TAG_TABLE_LIMIT = 1023


def struct_name(cat, m):
    return f"{cat.package}_{m.name}"


# The named functions of a message, each binding the message's schema to a
# generic function: (which messages have it, result, name, parameters, generic
# function, its arguments after the schema). {codec} is the codec struct.
FUNCTIONS = [
    ("all", "bool", "initMessageInfo", "NANOMessageInfo* record", "NANOInitMessageInfo", "record"),
    ("all", "bool", "deallocMessageField", "NANOMessageInfo* record, int32_t index", "NANODeallocMessageField",
     "record, index"),
    ("all", "bool", "deallocMessageInfo", "NANOMessageInfo* record", "NANODeallocMessageInfo", "record"),
    ("all", "bool", "copyMessageInfo", "NANOMessageInfo** destination, const NANOMessageInfo* source",
     "NANOCopyMessageInfo", "destination, source"),
    ("arrays", "bool", "allocateArrays", "NANOMessageInfo* record", "NANOAllocateArrays", "record"),
    ("all", "bool", "setDecoders", "NANOMessageInfo* record, {codec}* codec", "NANOSetDecoders", "record, codec"),
    ("all", "bool", "copyDecodedValues", "const {codec}* codec, NANOMessageInfo* record", "NANOCopyDecodedValues",
     "codec, record"),
    ("all", "bool", "decode", "const uint8_t* buffer, size_t length, NANOMessageInfo* record", "NANODecodeMessage",
     "buffer, length, record"),
    ("item", "bool", "decodeRepeated", "pb_istream_t* stream, const pb_field_t* field, void** arg",
     "NANODecodeRepeatedMessage", "stream, field, arg"),
    ("all", "bool", "setEncoders", "const NANOMessageInfo* record, {codec}* codec", "NANOSetEncoders",
     "record, codec"),
    ("all", "int32_t", "encode", "const NANOMessageInfo* record, uint8_t** output", "NANOEncodeMessage",
     "record, output"),
    ("item", "bool", "encodeRepeated", "pb_ostream_t* stream, const pb_field_t* field, void* const* arg",
     "NANOEncodeRepeatedMessage", "stream, field, arg"),
]


def functions_of(cat, m):
    """(signature, call of the generic function) of each named function the message has."""
    for which, result, name, parameters, generic, arguments in FUNCTIONS:
        if (which == "arrays" and not m.has_arrays) or (which == "item" and not m.is_item):
            continue
        signature = f"{result} {m.name}_{name}({parameters.format(codec=struct_name(cat, m))})"
        yield signature, f"{generic}(&{m.name}_schema, {arguments})"


# Every generated set ends with a list of what it made, for code that goes
# through all of them.
def list_declaration(noun, type, name, count):
    return (f"\n// All {count} {noun}, in schema order.\n"
            f"inline constexpr int {name}Count = {count};\n"
            f"extern const {type}* const {name}[{name}Count];\n")


def list_definition(type, name, entries):
    rows = "".join(f"    &{entry},\n" for entry in entries)
    return f"\nconst {type}* const {name}[{name}Count] = {{\n{rows}}};\n"


def classes_list(cat):
    return f"{cat.class_prefix}MessageClasses"


def emit_header(cat, schema_name):
    out = [banner(schema_name, "//")]
    out.append("""// One schema constant per message and its named functions, each a thin
// wrapper over the generic functions of NANOMessageFunctions.h.
#pragma once

#include "measurement/proto/NANOMessageFunctions.h"
""")
    out.append(f'#include "{cat.generated}/{cat.package}.pb.h"\n')
    for m in cat.messages:
        out.append(f"\n// {m.name}: {len(m.fields)} fields.\n")
        out.append(f"extern const NANOMessageSchema {m.name}_schema;\n")
        for signature, _ in functions_of(cat, m):
            out.append(f"{signature};\n")
    out.append(list_declaration("messages", "NANOMessageSchema", cat.code, len(cat.messages)))
    return "".join(out)


def emit_source(cat, schema_name):
    out = [banner(schema_name, "//")]
    out.append(f'#include "{cat.generated}/{cat.code}.h"\n\nnamespace {{\n')
    for m in cat.messages:
        words = [f"{f.flags:#x}" for f in m.fields]
        rows = ",\n    ".join(", ".join(words[i:i + 8]) for i in range(0, len(words), 8))
        out.append(f"\nconst NANOFieldFlags {m.name}_flags[] = {{\n    {rows},\n}};\n")
        out.append(f"const NANOFieldSchema {m.name}_fields[] = {{\n")
        for f in m.fields:
            sub = f"&{f.message.name}_schema" if f.is_message else "nullptr"
            out.append(f'    {{"{f.name}", {f.tag}, {f.flags:#x}, {sub}, {cell_of(m, f)}}},\n')
        out.append("};\n")
        by_tag = sorted(m.fields, key=lambda f: f.tag)
        order = ", ".join(str(f.id) for f in by_tag)
        out.append(f"const int32_t {m.name}_tagOrder[] = {{{order}}};\n")
        ids = [-1] * (min(by_tag[-1].tag, TAG_TABLE_LIMIT) + 1)
        for f in m.fields:
            if f.tag <= TAG_TABLE_LIMIT:
                ids[f.tag] = f.id
        words = [str(i) for i in ids]
        rows = ",\n    ".join(", ".join(words[i:i + 16]) for i in range(0, len(words), 16))
        out.append(f"const int16_t {m.name}_idByTag[] = {{\n    {rows},\n}};\n")
    out.append("\n}  // namespace\n")
    for m in cat.messages:
        s = struct_name(cat, m)
        n = m.name
        out.append(f"""
constinit const NANOMessageSchema {n}_schema = {{
    .name = "{n}",
    .fieldCount = {len(m.fields)},
    .flags = {n}_flags,
    .fields = {n}_fields,
    .codecFields = &{s}_msg,
    .codecSize = sizeof({s}),
    .hasArrays = {"true" if m.has_arrays else "false"},
    .listCount = {sum(1 for f in m.fields if f.repeated)},
    .cellCount = {sum(1 for f in m.fields if has_cell(f))},
    .tagOrder = {n}_tagOrder,
    .idByTag = {n}_idByTag,
    .idByTagCount = {min(max(f.tag for f in m.fields), TAG_TABLE_LIMIT) + 1},
    .initMessageInfo = {n}_initMessageInfo,
    .deallocMessageField = {n}_deallocMessageField,
    .copyMessageInfo = {n}_copyMessageInfo,
    .deallocMessageInfo = {n}_deallocMessageInfo,
    .decode = {n}_decode,
    .encode = {n}_encode,
    .decodeRepeated = {f"{n}_decodeRepeated" if m.is_item else "nullptr"},
    .encodeRepeated = {f"{n}_encodeRepeated" if m.is_item else "nullptr"},
}};

""")
        for signature, call in functions_of(cat, m):
            out.append(f"{signature} {{\n  return {call};\n}}\n")
    out.append(list_definition("NANOMessageSchema", cat.code, [f"{m.name}_schema" for m in cat.messages]))
    return "".join(out)


def class_name(cat, m):
    return f"{cat.class_prefix}{m.name}"


def describe(f):
    label = "repeated " if f.repeated else ""
    return f"tag {f.tag}, {label}{f.base}"


def emit_classes_header(cat, schema_name):
    out = [banner(schema_name, "//")]
    out.append("""// One class per message, binding the message's schema to NANOMessageBase,
// with the ID of every field (the position accessors take, not the tag).
#pragma once

#include <cstdint>

#include "measurement/proto/NANOMessageBase.h"
""")
    for m in cat.messages:
        c = class_name(cat, m)
        out.append(f"\n// \"{m.name}\", {len(m.fields)} fields.\n")
        out.append(f"class {c} final : public NANOMessage<{c}> {{\n public:\n")
        out.append("  static const NANOMessageClass messageClass;\n\n")
        width = max(len(field_constant(f)) for f in m.fields)
        id_width = len(f"{len(m.fields) - 1};")
        for f in m.fields:
            constant = field_constant(f).ljust(width)
            value = f"{f.id};".ljust(id_width)
            out.append(f"  static constexpr int32_t {constant} = {value}  // {describe(f)}\n")
        out.append(f"\n private:\n  friend class NANOMessage<{c}>;\n  {c}() = default;\n}};\n")
    out.append(list_declaration("classes", "NANOMessageClass", classes_list(cat), len(cat.messages)))
    return "".join(out)


def emit_classes_source(cat, schema_name):
    out = [banner(schema_name, "//")]
    out.append(f'#include "{cat.generated}/{cat.class_file}.h"\n\n#include "{cat.generated}/{cat.code}.h"\n')
    for m in cat.messages:
        c = class_name(cat, m)
        out.append(f"""
constinit const NANOMessageClass {c}::messageClass = {{
    .name = "{c}",
    .schema = &{m.name}_schema,
    .initWithMessageInfo = &{c}::makeWithMessageInfo,
}};
""")
    entries = [f"{class_name(cat, m)}::messageClass" for m in cat.messages]
    out.append(list_definition("NANOMessageClass", classes_list(cat), entries))
    return "".join(out)


def generate(schema_path, out_dir, nanopb_generator):
    with open(schema_path, encoding="utf-8") as f:
        cat = parse(f.read())
    check(cat)
    schema_name = os.path.basename(schema_path)
    proto_name = f"{cat.package}.proto"
    files = {
        proto_name: emit_proto(cat, schema_name),
        f"{cat.code}.h": emit_header(cat, schema_name),
        f"{cat.code}.cpp": emit_source(cat, schema_name),
    }
    if cat.class_prefix is not None:
        files[f"{cat.class_file}.h"] = emit_classes_header(cat, schema_name)
        files[f"{cat.class_file}.cpp"] = emit_classes_source(cat, schema_name)
    # nanopb's generator reads the .proto from a scratch folder, so a failed
    # run leaves the output folder as it was.
    with tempfile.TemporaryDirectory() as scratch:
        with open(os.path.join(scratch, proto_name), "w", encoding="utf-8") as f:
            f.write(files[proto_name])
        run_nanopb(nanopb_generator, scratch, proto_name, scratch)
        for suffix in (".pb.h", ".pb.c"):
            name = f"{cat.package}{suffix}"
            with open(os.path.join(scratch, name), encoding="utf-8") as f:
                # The project's sources keep one wording for nanopb's tables.
                files[name] = re.sub(r"encoding s[p]ecification for nanopb", "encodings for nanopb", f.read())
    os.makedirs(out_dir, exist_ok=True)
    for name, text in files.items():
        with open(os.path.join(out_dir, name), "w", encoding="utf-8") as f:
            f.write(text)
    return cat


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("schema")
    parser.add_argument("--out", help="output folder (default: the schema's 'generated' folder)")
    parser.add_argument("--nanopb-generator", default=shutil.which("nanopb_generator.py") or "nanopb_generator.py")
    args = parser.parse_args()
    try:
        out = args.out
        if out is None:
            with open(args.schema, encoding="utf-8") as f:
                cat = parse(f.read())
            if cat.generated is None:
                raise SchemaError("line 0: missing 'generated'")
            root = subprocess.run(["git", "rev-parse", "--show-toplevel"], capture_output=True, text=True,
                                  cwd=os.path.dirname(os.path.abspath(args.schema))).stdout.strip()
            out = os.path.join(root, cat.generated)
        generate(args.schema, out, args.nanopb_generator)
    except SchemaError as e:
        print(f"{args.schema}: {e}".replace("\nline", f"\n{args.schema}: line"), file=sys.stderr)
        return 1
    except OSError as e:
        print(f"protogen: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
