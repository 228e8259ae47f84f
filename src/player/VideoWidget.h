#pragma once
#include <QOpenGLWidget>

struct mpv_handle;
struct mpv_render_context;

namespace castora {

// Draws the player's video through libmpv's render API (vo=libmpv).
class MpvVideoWidget : public QOpenGLWidget {
    Q_OBJECT
public:
    explicit MpvVideoWidget(QWidget* parent = nullptr);
    // The engine to draw, once it is up; black until then.
    void SetEngine(mpv_handle* mpv);
    ~MpvVideoWidget() override;
    // Frees the render context; the engine must not be destroyed before this ran.
    void releaseRenderContext();
    bool hasRenderContext() const { return render_ != nullptr; }
    // A blank area is painted black instead of the engine's last picture.
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

} // namespace castora
