#include "net/socket_array.h"

#include "net/socket_control.h"

#include <algorithm>

namespace {
// Element indexes were 16-bit numbers; nothing needs more.
constexpr int MaxIndex = 32767;
} // namespace

SocketArray::SocketArray(QObject *parent) : QObject(parent) {
    connect(this, &QObject::objectNameChanged, this, [this](const QString &name) {
        for (SocketControl *element : m_elements) {
            if (element)
                element->setObjectName(name);
        }
    });
    Load(0);
}

SocketArray::~SocketArray() = default;

int SocketArray::Count() const {
    return int(std::count_if(m_elements.begin(), m_elements.end(),
                             [](const SocketControl *element) { return element != nullptr; }));
}

SocketControl *SocketArray::element(int index) const {
    if (index < 0 || index >= int(m_elements.size()))
        return nullptr;
    return m_elements[std::size_t(index)];
}

bool SocketArray::Load(int index) {
    if (index < 0 || index > MaxIndex || element(index))
        return false;
    if (index >= int(m_elements.size()))
        m_elements.resize(std::size_t(index) + 1, nullptr);
    auto *control = new SocketControl(this);
    control->setObjectName(objectName());
    connect(control, &SocketControl::ConnectionRequest, this,
            [this, index](qintptr requestID) { emit ConnectionRequest(index, requestID); });
    connect(control, &SocketControl::DataArrival, this,
            [this, index](qint64 bytesTotal) { emit DataArrival(index, bytesTotal); });
    connect(control, &SocketControl::Error, this,
            [this, index](int number, const QString &description, const QString &source) {
                emit Error(index, number, description, source);
            });
    connect(control, &SocketControl::Secured, this, [this, index] { emit Secured(index); });
    connect(control, &SocketControl::SecureNote, this,
            [this, index](const QString &text, bool peerDropped) {
                emit SecureNote(index, text, peerDropped);
            });
    control->setPaused(m_paused);
    m_elements[std::size_t(index)] = control;
    return true;
}

void SocketArray::setPaused(bool paused) {
    m_paused = paused;
    for (SocketControl *control : m_elements) {
        if (control)
            control->setPaused(paused);
    }
}

bool SocketArray::Unload(int index) {
    SocketControl *control = index > 0 ? element(index) : nullptr;
    if (!control)
        return false;
    m_elements[std::size_t(index)] = nullptr;
    while (!m_elements.empty() && !m_elements.back())
        m_elements.pop_back();
    control->disconnect(this);
    control->Close();
    // It may be inside one of its own events right now; it goes once that has returned.
    control->deleteWhenIdle();
    return true;
}
