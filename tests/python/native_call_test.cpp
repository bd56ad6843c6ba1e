// C++ exceptions escaping a reader method become Python exceptions: checked
// here for the kinds that no reader path raises on demand.
#include <stdexcept>
#include <string>

#include <Python.h>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "py_native_call.h"

namespace {

class Interpreter : public ::testing::Environment {
public:
    void SetUp() override { Py_InitializeEx(0); }
    void TearDown() override { Py_FinalizeEx(); }
};
const auto *const interpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

// The pending exception's type and text, cleared.
std::pair<PyObject *, std::string> take_exception() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    std::string text;
    if (PyObject *str = value ? PyObject_Str(value) : nullptr) {
        text = PyUnicode_AsUTF8(str);
        Py_DECREF(str);
    }
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    Py_XDECREF(type);  // the type objects are static: the pointer stays valid
    return {type, text};
}

template <class Body>
std::pair<PyObject *, std::string> outcome(Body &&body) {
    EXPECT_FALSE(tqfpy::call_native("reader_ReadRoi", body));
    return take_exception();
}

TEST(NativeCall, ReturnsTrueAndRaisesNothingWhenTheBodyCompletes) {
    int calls = 0;
    EXPECT_TRUE(tqfpy::call_native("f", [&] { ++calls; }));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(PyErr_Occurred(), nullptr);
}

TEST(NativeCall, AllocationFailureBecomesMemoryError) {
    const auto raised = outcome([] { throw std::bad_alloc(); });
    EXPECT_EQ(raised.first, PyExc_MemoryError);
    EXPECT_EQ(raised.second, "reader_ReadRoi: std::bad_alloc");
}

TEST(NativeCall, OpenCvOutOfMemoryBecomesMemoryError) {
    const auto raised = outcome([] { throw cv::Exception(cv::Error::StsNoMem, "no memory", "f", "file", 1); });
    EXPECT_EQ(raised.first, PyExc_MemoryError);
    EXPECT_NE(raised.second.find("no memory"), std::string::npos);
}

TEST(NativeCall, OtherOpenCvErrorsBecomeRuntimeErrorWithTheirText) {
    const auto raised = outcome([] { throw cv::Exception(cv::Error::StsBadArg, "bad size", "resize", "f.cpp", 7); });
    EXPECT_EQ(raised.first, PyExc_RuntimeError);
    EXPECT_EQ(raised.second.rfind("reader_ReadRoi: ", 0), 0u);
    EXPECT_NE(raised.second.find("bad size"), std::string::npos);
}

TEST(NativeCall, StandardExceptionsBecomeRuntimeErrorWithTheirText) {
    const auto raised = outcome([] { throw std::length_error("vector too long"); });
    EXPECT_EQ(raised.first, PyExc_RuntimeError);
    EXPECT_EQ(raised.second, "reader_ReadRoi: vector too long");
}

TEST(NativeCall, TextThatIsNotUtf8IsReplacedNotLost) {
    const auto raised = outcome([] { throw std::runtime_error("path \xff.tqf"); });
    EXPECT_EQ(raised.first, PyExc_RuntimeError);
    EXPECT_EQ(raised.second, "reader_ReadRoi: path \xef\xbf\xbd.tqf");
}

TEST(NativeCall, AnythingElseBecomesRuntimeError) {
    const auto raised = outcome([] { throw 42; });
    EXPECT_EQ(raised.first, PyExc_RuntimeError);
    EXPECT_EQ(raised.second, "reader_ReadRoi: an unknown C++ exception escaped the reader");
}

}  // namespace
