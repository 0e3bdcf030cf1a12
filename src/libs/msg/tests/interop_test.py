"""Interoperability of libxmsg with the Python protobuf implementation.

Python classes are generated from the same schema files at test time. The C++ tool writes every
message type, fully populated by a fill rule, and Python checks each against its own copy of the
rule; then Python writes them and the C++ tool checks. The rule must match interop.cpp.

usage: interop_test.py PROTOC PROTO_DIR MSG_INTEROP WORK_DIR
"""
import importlib
import os
import shutil
import subprocess
import sys

MAX_DEPTH = 6
VARIANTS = 6


def scalar(f, depth, k):
    from google.protobuf.descriptor import FieldDescriptor as FD
    base = f.number * 1000 + depth * 10 + k
    t = f.cpp_type
    if t == FD.CPPTYPE_INT32:
        return -base
    if t == FD.CPPTYPE_INT64:
        return -base - (1 << 40)
    if t == FD.CPPTYPE_UINT32:
        return base
    if t == FD.CPPTYPE_UINT64:
        return base + (1 << 50)
    if t == FD.CPPTYPE_DOUBLE:
        return base + 0.25
    if t == FD.CPPTYPE_FLOAT:
        return base + 0.5
    if t == FD.CPPTYPE_BOOL:
        return True
    if t == FD.CPPTYPE_ENUM:
        values = f.enum_type.values
        return values[len(values) - 1 - (k % len(values))].number
    if t == FD.CPPTYPE_STRING:
        return "%s-%d-\u00e9" % (f.name, base)
    raise AssertionError("unexpected type of " + f.full_name)


def chosen(f, variant):
    o = f.containing_oneof
    if o is None or (len(o.fields) == 1 and f.has_presence and o.name == "_" + f.name):
        return True  # not in a real oneof
    return o.fields[variant % len(o.fields)] is f


def well_known(m):
    return m.DESCRIPTOR.full_name in ("google.protobuf.Timestamp", "google.protobuf.Duration")


def fill(m, depth, variant):
    from google.protobuf.descriptor import FieldDescriptor as FD
    if depth > MAX_DEPTH:
        return
    if well_known(m):
        m.seconds = 1700000000 + depth
        m.nanos = 1000 * depth + variant
        return
    for f in m.DESCRIPTOR.fields:
        if not chosen(f, variant):
            continue
        is_map = f.message_type is not None and f.message_type.GetOptions().map_entry
        if is_map:
            for k in range(2):
                fill(getattr(m, f.name)[f.number * 100 + k], depth + 1, variant + k)
        elif f.label == FD.LABEL_REPEATED:
            for k in range(2):
                if f.cpp_type == FD.CPPTYPE_MESSAGE:
                    fill(getattr(m, f.name).add(), depth + 1, variant + k)
                else:
                    getattr(m, f.name).append(scalar(f, depth, k))
        elif f.cpp_type == FD.CPPTYPE_MESSAGE:
            sub = getattr(m, f.name)
            sub.SetInParent()
            fill(sub, depth + 1, variant)
        else:
            setattr(m, f.name, scalar(f, depth, 0))


def check(m, depth, variant, where):
    """Checks field by field, so that a failure names the field."""
    from google.protobuf.descriptor import FieldDescriptor as FD
    if depth > MAX_DEPTH:
        return
    if well_known(m):
        assert (m.seconds, m.nanos) == (1700000000 + depth, 1000 * depth + variant), where
        return
    for o in m.DESCRIPTOR.oneofs:
        if len(o.fields) > 1 or not o.name.startswith("_"):
            want = o.fields[variant % len(o.fields)].name
            assert m.WhichOneof(o.name) == want, "%s: oneof %s is %s, want %s" % (
                where, o.name, m.WhichOneof(o.name), want)
    for f in m.DESCRIPTOR.fields:
        here = where + "." + f.name
        if not chosen(f, variant):
            continue
        is_map = f.message_type is not None and f.message_type.GetOptions().map_entry
        value = getattr(m, f.name)
        if is_map:
            assert sorted(value.keys()) == [f.number * 100, f.number * 100 + 1], here
            for k in range(2):
                check(value[f.number * 100 + k], depth + 1, variant + k, here + "[%d]" % k)
        elif f.label == FD.LABEL_REPEATED:
            assert len(value) == 2, here
            for k in range(2):
                if f.cpp_type == FD.CPPTYPE_MESSAGE:
                    check(value[k], depth + 1, variant + k, here + "[%d]" % k)
                else:
                    assert value[k] == scalar(f, depth, k), "%s[%d] = %r" % (here, k, value[k])
        elif f.cpp_type == FD.CPPTYPE_MESSAGE:
            assert m.HasField(f.name), here + " missing"
            check(value, depth + 1, variant, here)
        else:
            assert value == scalar(f, depth, 0), "%s = %r, want %r" % (here, value, scalar(f, depth, 0))


def main():
    # The schema names come from the build's list, so a new schema needs no edit here.
    protoc, proto_dir, tool, work = sys.argv[1:5]
    files = sys.argv[5:]
    shutil.rmtree(work, ignore_errors=True)
    py_dir, cpp_out, py_out = (os.path.join(work, d) for d in ("py", "from_cpp", "from_py"))
    for d in (py_dir, cpp_out, py_out):
        os.makedirs(d)
    subprocess.run([protoc, "-I", proto_dir, "--python_out", py_dir] +
                   [os.path.join(proto_dir, f + ".proto") for f in files], check=True)
    sys.path.insert(0, py_dir)
    modules = [importlib.import_module(f + "_pb2") for f in files]

    subprocess.run([tool, "write", cpp_out], check=True)
    checked = 0
    for mod in modules:
        for name, desc in mod.DESCRIPTOR.message_types_by_name.items():
            cls = getattr(mod, name)
            for v in range(VARIANTS):
                path = os.path.join(cpp_out, "%s.%d.bin" % (desc.full_name, v))
                with open(path, "rb") as fh:
                    msg = cls.FromString(fh.read())
                check(msg, 0, v, "%s#%d" % (desc.full_name, v))
                out = cls()
                fill(out, 0, v)
                assert out == msg, desc.full_name  # Python's own fill agrees with C++'s bytes
                with open(os.path.join(py_out, "%s.%d.bin" % (desc.full_name, v)), "wb") as fh:
                    fh.write(out.SerializeToString())
                checked += 1
    assert checked == 49 * VARIANTS, checked
    print("checked %d messages from C++" % checked)
    subprocess.run([tool, "check", py_out], check=True)


if __name__ == "__main__":
    main()
