#pragma once
#include <QOpenGLWindow>
#include <QWidget>

struct mpv_handle;
struct mpv_render_context;

namespace castora {

// Draws the engine's video through libmpv's render API (vo=libmpv) in a GL window of its own.
class MpvVideoWindow : public QOpenGLWindow {
    Q_OBJECT
public:
    MpvVideoWindow();
    ~MpvVideoWindow() override;
    void SetEngine(mpv_handle* mpv);
    void releaseRenderContext();
    bool hasRenderContext() const { return render_ != nullptr; }
    void SetBlank(bool blank);
    bool Blank() const { return blank_; }

protected:
    void initializeGL() override;
    void paintGL() override;

private:
    static void onUpdate(void* self);
    void createRenderContext();

    mpv_handle* mpv_ = nullptr;
    mpv_render_context* render_ = nullptr;
    bool blank_ = true;
};

// The video area of the Play page. Its picture is a native GL window inside a container, rather than a
// QOpenGLWidget: that would make the whole main window compose through OpenGL and pay for it at its
// first show. Here GL starts only when the video area itself is first shown.
class MpvVideoWidget : public QWidget {
    Q_OBJECT
public:
    explicit MpvVideoWidget(QWidget* parent = nullptr);
    // The engine to draw, once it is up; black until then.
    void SetEngine(mpv_handle* mpv) { window_->SetEngine(mpv); }
    // Frees the render context; the engine must not be destroyed before this ran.
    void releaseRenderContext() { window_->releaseRenderContext(); }
    bool hasRenderContext() const { return window_->hasRenderContext(); }
    // A blank area is painted black instead of the engine's last picture.
    void SetBlank(bool blank) { window_->SetBlank(blank); }
    bool Blank() const { return window_->Blank(); }
    // The native window the picture is drawn in.
    QWindow* VideoWindow() const { return window_; }
    // The picture as drawn, read back from GL.
    QImage grabFramebuffer() { return window_->grabFramebuffer(); }
    ~MpvVideoWidget() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    MpvVideoWindow* window_;
    QWidget* container_;
};

}  // namespace castora
