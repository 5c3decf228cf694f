#pragma once
// The program's collection of loaded windows: created on first use, brought
// forward when open, unloaded all together on exit.

#include <QList>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <map>
#include <typeindex>

namespace ui {

class WindowRegistry {
public:
    static WindowRegistry &instance();

    /// Records a window as loaded, in load order. Windows call it when created.
    void add(QWidget *window);

    /// Loaded windows, in the order they were loaded.
    QList<QWidget *> loaded() const;

    /// The loaded window of class T, or nullptr.
    template <class T> T *find() const {
        for (QWidget *w : loaded()) {
            // dynamic_cast: window classes made from one template share a meta-object.
            if (auto *t = dynamic_cast<T *>(w)) {
                return t;
            }
        }
        return nullptr;
    }

    /// How windows of class T are made from now on: the creator of the
    /// program's windows hands them what they need this way. Without one, a
    /// window is made with its default constructor.
    template <class T> void setFactory(std::function<T *()> make) {
        factories_[std::type_index(typeid(T))] = [make = std::move(make)] {
            return static_cast<QWidget *>(make());
        };
    }
    /// Forgets every factory: what they captured is going away.
    void clearFactories() { factories_.clear(); }

    /// The loaded window of class T, created (and so loaded, not shown) when missing.
    template <class T> T *load() {
        if (T *existing = find<T>()) {
            return existing;
        }
        T *created = nullptr;
        if (const auto factory = factories_.find(std::type_index(typeid(T)));
            factory != factories_.end()) {
            created = static_cast<T *>(factory->second());
        } else {
            created = new T();
        }
        add(created);
        return created;
    }

    /// Shows the window of class T modeless, creating it first when needed; an
    /// open one is only brought forward.
    template <class T> T *show() {
        T *window = load<T>();
        bringForward(window);
        return window;
    }

    static void bringForward(QWidget *window);

    /// Closes every loaded window in load order; windows a close left loaded
    /// get a second pass. Each window is deleted when it closes.
    void unloadAll();

private:
    QList<QPointer<QWidget>> windows_;
    std::map<std::type_index, std::function<QWidget *()>> factories_;
};

} // namespace ui
