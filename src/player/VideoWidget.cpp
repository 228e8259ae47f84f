#include "player/VideoWidget.h"

#include <QCoreApplication>
#include <QEvent>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QVBoxLayout>
#include <mpv/render_gl.h>

namespace castora {

namespace {
void* GetProcAddress(void*, const char* name) {
    QOpenGLContext* context = QOpenGLContext::currentContext();
    return context ? reinterpret_cast<void*>(context->getProcAddress(name)) : nullptr;
}
}  // namespace

MpvVideoWidget::MpvVideoWidget(QWidget* parent) : QWidget(parent), window_(new MpvVideoWindow) {
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::black);
    setPalette(pal);
    setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    // The GL window is embedded in native windows of its own rather than straight in the top level's, so
    // that native siblings (controls over the picture) can be stacked above it.
    setAttribute(Qt::WA_NativeWindow);
    // Clicks, the wheel and the pointer's moves go to the widgets: the page handles them, not GL.
    window_->setFlag(Qt::WindowTransparentForInput);
    container_ = QWidget::createWindowContainer(window_, this);
    container_->setAttribute(Qt::WA_NativeWindow);
    layout->addWidget(container_);
}

void MpvVideoWidget::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The container placed the GL window for the top level's coordinates before it was shown and took it
    // into its own native window; it fills that window.
    window_->setGeometry(QRect(QPoint(0, 0), container_->size()));
}

// The render context goes before the container takes the GL window (and its context) with it.
MpvVideoWidget::~MpvVideoWidget() { window_->releaseRenderContext(); }

MpvVideoWindow::MpvVideoWindow() : QOpenGLWindow(QOpenGLWindow::NoPartialUpdate) {}

void MpvVideoWindow::SetEngine(mpv_handle* mpv) {
    mpv_ = mpv;
    // Without a GL context yet, initializeGL will do it.
    if (!context() || !context()->isValid()) return;
    makeCurrent();
    createRenderContext();
    doneCurrent();
    update();
}

MpvVideoWindow::~MpvVideoWindow() {
    releaseRenderContext();
    // The base class destroys the GL context after this body has run; its aboutToBeDestroyed must
    // not reach this object any more.
    if (QOpenGLContext* gl = context()) QObject::disconnect(gl, nullptr, this, nullptr);
}

void MpvVideoWindow::initializeGL() { createRenderContext(); }

void MpvVideoWindow::createRenderContext() {
    if (render_ || !mpv_) return;
    mpv_opengl_init_params gl{GetProcAddress, nullptr};
    int advanced = 0;
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_API_TYPE, const_cast<char*>(MPV_RENDER_API_TYPE_OPENGL)},
        {MPV_RENDER_PARAM_OPENGL_INIT_PARAMS, &gl},
        {MPV_RENDER_PARAM_ADVANCED_CONTROL, &advanced},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    if (mpv_render_context_create(&render_, mpv_, params) < 0) {
        render_ = nullptr;  // video stays black; audio still plays
        return;
    }
    mpv_render_context_set_update_callback(render_, &MpvVideoWindow::onUpdate, this);
    // The engine paces its frames better when it learns when each one reached the screen.
    connect(
        this, &QOpenGLWindow::frameSwapped, this,
        [this] {
            if (render_) mpv_render_context_report_swap(render_);
        },
        Qt::UniqueConnection);
    // The GL context goes away with the window it belongs to; the render context must go first.
    connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, &MpvVideoWindow::releaseRenderContext,
            Qt::DirectConnection);
}

void MpvVideoWindow::SetBlank(bool blank) {
    if (blank == blank_) return;
    blank_ = blank;
    update();
}

void MpvVideoWindow::paintGL() {
    if (render_) {
        const qreal ratio = devicePixelRatio();
        mpv_opengl_fbo fbo{static_cast<int>(defaultFramebufferObject()), static_cast<int>(width() * ratio),
                           static_cast<int>(height() * ratio), 0};
        int flip = 1;
        mpv_render_param params[] = {
            {MPV_RENDER_PARAM_OPENGL_FBO, &fbo},
            {MPV_RENDER_PARAM_FLIP_Y, &flip},
            {MPV_RENDER_PARAM_INVALID, nullptr},
        };
        // Rendered even when hidden: the engine paces its frames by these calls.
        mpv_render_context_render(render_, params);
    }
    if (blank_ || !render_) {
        // The engine keeps showing its last frame after the entry is gone; nothing else would clear it.
        QOpenGLFunctions* gl = context()->functions();
        // Whatever state the engine's renderer left must not limit the clear.
        gl->glBindFramebuffer(GL_FRAMEBUFFER, defaultFramebufferObject());
        gl->glDisable(GL_SCISSOR_TEST);
        gl->glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
        gl->glClearColor(0, 0, 0, 1);
        gl->glClear(GL_COLOR_BUFFER_BIT);
    }
}

void MpvVideoWindow::releaseRenderContext() {
    if (!render_) return;
    const bool current = context() && context()->isValid();
    if (current) makeCurrent();
    mpv_render_context_free(render_);
    render_ = nullptr;
    if (current) doneCurrent();
}

void MpvVideoWindow::onUpdate(void* self) {
    // Called on an engine thread: only ask the GUI thread to repaint.
    auto* window = static_cast<MpvVideoWindow*>(self);
    QMetaObject::invokeMethod(
        window,
        [window] {
            window->update();
            // Painted at once rather than after the platform's update delay: a late frame is a dropped one.
            QCoreApplication::postEvent(window, new QEvent(QEvent::UpdateRequest));
        },
        Qt::QueuedConnection);
}

}  // namespace castora
