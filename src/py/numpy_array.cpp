#include "py/numpy_array.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <iterator>
#include <memory>

#include "py/ref.hpp"

namespace corvantic::py {
namespace {

// ---- numpy's C table
//
// numpy publishes its C functions as a table of pointers: the capsule
// `_ARRAY_API` of numpy._core._multiarray_umath (numpy.core._multiarray_umath
// before numpy 2). Extensions built with numpy's headers call through fixed
// slots of it, and numpy keeps the meaning of every slot for as long as its
// ABI version (what slot 0 returns) stays the same. The slots below carry
// the names of numpy/__multiarray_api.h; ABI versions 1 (numpy 1.x) and 2
// (numpy 2.x) agree on all of them.
constexpr std::size_t ABI_VERSION_SLOT = 0;        // unsigned PyArray_GetNDArrayCVersion(void)
constexpr std::size_t ARRAY_TYPE_SLOT = 2;         // PyTypeObject PyArray_Type
constexpr std::size_t NEW_FROM_DESCR_SLOT = 94;    // PyArray_NewFromDescr
constexpr std::size_t FEATURE_VERSION_SLOT = 211;  // unsigned PyArray_GetNDArrayCFeatureVersion(void)
constexpr std::size_t SET_BASE_OBJECT_SLOT = 282;  // PyArray_SetBaseObject
constexpr unsigned KNOWN_ABI_VERSIONS[] = {0x01000009, 0x02000000};
// PyArray_SetBaseObject came with feature version 7 (numpy 1.7).
constexpr unsigned FIRST_FEATURE_VERSION = 7;

using Version = unsigned (*)();
// PyArray_NewFromDescr(subtype, descr, nd, dims, strides, data, flags, obj):
// an array of `descr` values (the reference is stolen) over `data`. With
// `data` and `strides` given, `flags` are the array's flags apart from
// contiguity and alignment, which numpy works out from the strides and the
// address; without NPY_ARRAY_WRITEABLE the array is read-only.
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_intptr_t*, const Py_intptr_t*, void*, int,
                                   PyObject*);
// PyArray_SetBaseObject(array, base): sets the array's base, stealing the
// reference to it even when it fails.
using SetBaseObject = int (*)(PyObject*, PyObject*);
constexpr int READ_ONLY = 0;
constexpr std::size_t MAX_DIMENSIONS = 3;

// What an array is made with: numpy's C functions, or, with a numpy whose
// table is not known here, its Python constructor.
struct Numpy {
  PyTypeObject* array_type = nullptr;  // null: use `ndarray` instead
  NewFromDescr new_from_descr = nullptr;
  SetBaseObject set_base_object = nullptr;
  Ref ndarray;                         // numpy.ndarray
  Ref dtypes[2];                       // by ArrayValues
};

// numpy's module _multiarray_umath, where it is in numpy 2 or else where it
// was before (a new reference, or nullptr with an exception set).
PyObject* multiarray_module() {
  PyObject* module = PyImport_ImportModule("numpy._core._multiarray_umath");
  if (module != nullptr || !PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return module;
  PyErr_Clear();
  return PyImport_ImportModule("numpy.core._multiarray_umath");
}

// numpy's C table when its ABI is one that the slots above describe, else
// nullptr; never with an exception set.
void* const* known_table() {
  const Ref module = Ref::steal(multiarray_module());
  const Ref capsule = Ref::steal(module ? PyObject_GetAttrString(module.get(), "_ARRAY_API") : nullptr);
  auto* const table = capsule ? static_cast<void* const*>(PyCapsule_GetPointer(capsule.get(), nullptr)) : nullptr;
  // A numpy without a readable table is left to its Python constructor.
  PyErr_Clear();
  if (table == nullptr) return nullptr;
  const unsigned abi = reinterpret_cast<Version>(table[ABI_VERSION_SLOT])();
  if (std::ranges::find(KNOWN_ABI_VERSIONS, abi) == std::end(KNOWN_ABI_VERSIONS)) return nullptr;
  if (reinterpret_cast<Version>(table[FEATURE_VERSION_SLOT])() < FIRST_FEATURE_VERSION) return nullptr;
  // The table lives in numpy's extension module, which stays loaded for
  // the rest of the process once imported.
  return table;
}

// numpy's objects, looked up once per process (borrowed; nullptr with an
// exception set when numpy cannot be imported). Threads that race each look
// them up; the first to finish publishes its own, the others drop theirs,
// and the published ones live for the rest of the process.
const Numpy* numpy() {
  static std::atomic<const Numpy*> loaded{nullptr};
  if (const Numpy* existing = loaded.load(std::memory_order_acquire)) return existing;
  const Ref module = Ref::steal(PyImport_ImportModule("numpy"));
  if (!module) return nullptr;
  auto made = std::make_unique<Numpy>();
  made->ndarray = Ref::steal(PyObject_GetAttrString(module.get(), "ndarray"));
  const Ref dtype = Ref::steal(PyObject_GetAttrString(module.get(), "dtype"));
  if (!made->ndarray || !dtype) return nullptr;
  Ref& bytes = made->dtypes[static_cast<std::size_t>(ArrayValues::UInt8)];
  Ref& words = made->dtypes[static_cast<std::size_t>(ArrayValues::UInt16LE)];
  bytes = Ref::steal(PyObject_CallFunction(dtype.get(), "s", "|u1"));
  words = Ref::steal(PyObject_CallFunction(dtype.get(), "s", "<u2"));
  if (!bytes || !words) return nullptr;
  if (void* const* table = known_table()) {
    made->array_type = static_cast<PyTypeObject*>(table[ARRAY_TYPE_SLOT]);
    made->new_from_descr = reinterpret_cast<NewFromDescr>(table[NEW_FROM_DESCR_SLOT]);
    made->set_base_object = reinterpret_cast<SetBaseObject>(table[SET_BASE_OBJECT_SLOT]);
  }
  const Numpy* expected = nullptr;
  if (!loaded.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return expected;
  return made.release();
}

}  // namespace

bool load_numpy() { return numpy() != nullptr; }

PyObject* read_only_array(PyObject* owner, const void* data, std::span<const Py_ssize_t> shape, ArrayValues values) {
  const Numpy* const np = numpy();
  if (np == nullptr) return nullptr;
  PyObject* const dtype = np->dtypes[static_cast<std::size_t>(values)].get();
  if (shape.size() > MAX_DIMENSIONS) {
    PyErr_SetString(PyExc_SystemError, "read_only_array: more dimensions than it takes");
    return nullptr;
  }
  if (np->array_type != nullptr) {
    // C order: each dimension's stride is the size of one step in it.
    std::array<Py_intptr_t, MAX_DIMENSIONS> dimensions{}, strides{};
    Py_intptr_t step = values == ArrayValues::UInt8 ? 1 : 2;
    for (std::size_t i = shape.size(); i-- > 0;) {
      dimensions[i] = shape[i];
      strides[i] = step;
      step *= shape[i];
    }
    Ref array = Ref::steal(np->new_from_descr(np->array_type, Ref::borrow(dtype).release(),
                                              static_cast<int>(shape.size()), dimensions.data(), strides.data(),
                                              const_cast<void*>(data), READ_ONLY, nullptr));
    if (!array || np->set_base_object(array.get(), Ref::borrow(owner).release()) < 0) return nullptr;
    return array.release();
  }
  // numpy.ndarray(shape, dtype, owner) reads owner's buffer from its start.
  Ref dims = Ref::steal(PyTuple_New(std::ssize(shape)));
  if (!dims) return nullptr;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    PyObject* const n = PyLong_FromSsize_t(shape[i]);
    if (n == nullptr) return nullptr;
    PyTuple_SET_ITEM(dims.get(), static_cast<Py_ssize_t>(i), n);
  }
  PyObject* const args[] = {dims.get(), dtype, owner};
  return PyObject_Vectorcall(np->ndarray.get(), args, std::size(args), nullptr);
}

}  // namespace corvantic::py
