// traceback.cpp: the frame registry and synthetic traceback entries for native functions.
#include "frame.hpp"

#include <frameobject.h>
#include <pthread.h>

#include <cstdlib>
#include <cstring>

namespace qm {

namespace detail {

__thread FrameStack frames __attribute__((tls_model("initial-exec"))) = {nullptr, 0, 0, nullptr};

namespace {
pthread_key_t frames_key;
bool frames_key_made = false;

/// Frees a thread's registry when the thread ends.
void free_frames(void* entries) {
    std::free(entries);
    frames = {nullptr, 0, 0, nullptr};
}
}  // namespace

bool grow_frames() noexcept {
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] { frames_key_made = pthread_key_create(&frames_key, free_frames) == 0; });
    FrameStack& s = frames;
    const std::uint32_t capacity = s.capacity ? s.capacity * 2 : 32;
    auto* entries = static_cast<FrameEntry*>(std::realloc(s.entries, capacity * sizeof(FrameEntry)));
    if (!entries) return false;
    s.entries = entries;
    s.capacity = capacity;
    if (frames_key_made) pthread_setspecific(frames_key, entries);
    return true;
}

Frame* find_frame(const void* key) noexcept {
    const FrameStack& s = frames;
    for (std::uint32_t i = s.size; i-- > 0;)
        if (s.entries[i].key == key) return s.entries[i].frame;
    return nullptr;
}

void remove_frame(const Frame* frame, const void* key) noexcept {
    FrameStack& s = frames;
    for (std::uint32_t i = s.size; i-- > 0;) {
        if (s.entries[i].frame == frame && s.entries[i].key == key) {
            std::memmove(&s.entries[i], &s.entries[i + 1], (s.size - i - 1) * sizeof(FrameEntry));
            --s.size;
            return;
        }
    }
}

}  // namespace detail

void Frame::add_traceback() const noexcept {
    // Save and clear the pending exception: nothing below may run with an error set.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);

    PyCodeObject* code = nullptr;
    PyFrameObject* frame = nullptr;
    const char* funcname = PyUnicode_AsUTF8(traceback_name);
    if (funcname) code = PyCode_NewEmpty(file, funcname, line);
    if (code) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);

    if (!frame) {
        // Building the entry failed: keep the original error, chained to nothing new.
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        Py_XDECREF(code);
        return;
    }
    PyErr_Restore(type, value, tb);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
    Py_DECREF(code);
}

}  // namespace qm
