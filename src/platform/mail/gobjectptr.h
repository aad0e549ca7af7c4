#pragma once

#include <glib-object.h>

#include <memory>

namespace tessaly {

// Owns one reference to a GObject (GMime objects are GObjects).
struct GObjectUnref {
    void operator()(gpointer object) const {
        if (object) {
            g_object_unref(object);
        }
    }
};

template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes an extra reference, for objects that GMime hands out without transferring ownership.
template <typename T> GObjectPtr<T> retained(T* object) {
    if (object) {
        g_object_ref(object);
    }
    return GObjectPtr<T>(object);
}

} // namespace tessaly
