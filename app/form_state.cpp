#include "app/form_state.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <exception>

#include "util/registry.h"

namespace kalvex {

namespace {

constexpr int kMissing = -10000;

bool PlacesOwnWindows() { return !QGuiApplication::platformName().startsWith("wayland"); }

}  // namespace

QRect WorkArea() {
  QRect area;
  for (QScreen* screen : QGuiApplication::screens()) area = area.united(screen->availableGeometry());
  return area.isValid() ? area : QRect(0, 0, 1024, 768);
}

void ClampToWorkArea(int& left, int& top, int& width, bool clampSize, int& height, const QRect& wa) {
  if (clampSize) {
    width = std::min(width, wa.width());
    height = std::min(height, wa.height());
  }
  if (left > wa.right()) left = wa.right() - 60;
  if (left + width - 60 < wa.left()) left = wa.left() - width + 60;
  if (top > wa.bottom()) top = wa.bottom() - 60;
  if (top < wa.top()) top = wa.top();
}

TPosition CentredPosition(int width, int height, const QRect* owner, const QRect& wa) {
  TPosition p;
  if (owner) {
    p.Left = owner->left() + owner->width() / 2 - width / 2;
    p.Top = owner->top() + owner->height() / 2 - height / 2;
  } else {
    p.Left = wa.left() + wa.width() / 2 - width / 2;
    p.Top = wa.top() + wa.height() / 2 - height / 2;
  }
  ClampToWorkArea(p.Left, p.Top, width, false, height, wa);
  return p;
}

void SaveFormState(QWidget& form, TRegIniFile& store, const std::string& section, int options,
                   const std::string& prefix) {
  try {
    const QRect wa = WorkArea();
    bool notNormal = false;
    if (options & (fsoMaximized | fsoMinimized)) {
      int state = 0;
      if ((options & fsoMinimized) && form.isMinimized()) {
        state = 1;
        notNormal = true;
      } else if ((options & fsoMaximized) && form.isMaximized()) {
        state = 2;
        notNormal = true;
      }
      store.WriteInteger(section, prefix + "State", state);
    }
    // A maximised or minimised window keeps the rectangle it had before.
    QRect rect = form.geometry();
    QPoint framePos = form.pos();
    if (notNormal && form.normalGeometry().isValid()) {
      rect = form.normalGeometry();
      framePos = rect.topLeft() - (form.geometry().topLeft() - form.pos());
    }
    if (options & fsoPosition) {
      store.WriteInteger(section, prefix + "Top", framePos.y() - wa.top());
      store.WriteInteger(section, prefix + "Left", framePos.x() - wa.left());
    }
    if (options & fsoSize) {
      store.WriteInteger(section, prefix + "Height", rect.height());
      store.WriteInteger(section, prefix + "Width", rect.width());
    }
    if (options & fsoVisible) store.WriteBool(section, prefix + "Visible", form.isVisible());
    if (options & fsoStyle)
      store.WriteInteger(section, prefix + "Style",
                         form.windowFlags().testFlag(Qt::WindowStaysOnTopHint) ? kStyleStayOnTop : kStyleNormal);
  } catch (const std::exception&) {
  }
}

bool RestoreFormState(QWidget& form, TRegIniFile& store, const std::string& section, int options,
                      const std::string& prefix) {
  const bool mainWindow = form.parentWidget() == nullptr;
  bool show = true;
  try {
    const QRect wa = WorkArea();
    int width = form.width(), height = form.height();
    if (options & fsoSize) {
      width = store.ReadInteger(section, prefix + "Width", width);
      height = store.ReadInteger(section, prefix + "Height", height);
    }
    const bool position = (options & fsoPosition) && PlacesOwnWindows();
    int left = form.x(), top = form.y();
    if (position) {
      top = store.ReadInteger(section, prefix + "Top", kMissing);
      left = store.ReadInteger(section, prefix + "Left", kMissing);
      if (left == kMissing || top == kMissing) {
        QWidget* owner = form.parentWidget() ? form.parentWidget()->window() : nullptr;
        const QRect ownerRect = owner && owner->isVisible() ? owner->frameGeometry() : QRect();
        const TPosition centred = CentredPosition(width, height, ownerRect.isValid() ? &ownerRect : nullptr, wa);
        left = centred.Left - wa.left();
        top = centred.Top - wa.top();
      }
      left += wa.left();
      top += wa.top();
    }
    ClampToWorkArea(left, top, width, (options & fsoSize) != 0, height, wa);
    width = std::max(width, 1);
    height = std::max(height, 1);
    form.resize(width, height);
    if (position) form.move(left, top);
    if (options & (fsoMaximized | fsoMinimized)) {
      const int current = form.isMinimized() ? 1 : form.isMaximized() ? 2 : 0;
      const int state = store.ReadInteger(section, prefix + "State", current);
      if (state == 1 && (options & fsoMinimized))
        form.setWindowState(form.windowState() | Qt::WindowMinimized);
      else if (state == 2 && (options & fsoMaximized))
        form.setWindowState(form.windowState() | Qt::WindowMaximized);
    }
    if (options & fsoStyle) {
      const int style = store.ReadInteger(section, prefix + "Style",
                                          form.windowFlags().testFlag(Qt::WindowStaysOnTopHint) ? kStyleStayOnTop
                                                                                              : kStyleNormal);
      // Changing the flags hides a shown window; only a real change touches them.
      const bool onTop = style == kStyleStayOnTop;
      if (onTop != form.windowFlags().testFlag(Qt::WindowStaysOnTopHint)) {
        const bool wasVisible = form.isVisible();
        form.setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
        if (wasVisible) form.show();
      }
    }
    if (options & fsoVisible) {
      const bool visible = store.ReadBool(section, prefix + "Visible", mainWindow);
      if (mainWindow)
        show = visible;
      else
        form.setVisible(visible);
    }
  } catch (const std::exception&) {
  }
  return show;
}

}  // namespace kalvex
