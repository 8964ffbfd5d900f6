#include "wizard/ui/transfer_animation.h"

#include <QPainter>
#include <QPainterPath>

namespace pelvane::wizard {

namespace {

void DrawComputer(QPainter& p, const QRectF& box) {
  const QRectF screen(box.left(), box.top(), box.width(), box.height() * 0.7);
  p.setPen(QPen(QColor(40, 40, 40), 2));
  p.setBrush(QColor(210, 215, 225));
  p.drawRoundedRect(screen, 3, 3);
  p.setBrush(QColor(30, 70, 140));
  p.drawRect(screen.adjusted(4, 4, -4, -4));
  p.setBrush(QColor(120, 120, 120));
  const double footTop = screen.bottom();
  p.drawRect(QRectF(box.center().x() - 3, footTop, 6, box.height() * 0.15));
  p.drawRect(QRectF(box.left() + box.width() * 0.2, box.bottom() - box.height() * 0.15,
                    box.width() * 0.6, box.height() * 0.15));
}

void DrawInstrument(QPainter& p, const QRectF& box) {
  p.setPen(QPen(QColor(40, 40, 40), 2));
  p.setBrush(QColor(225, 220, 200));
  p.drawRoundedRect(box, 3, 3);
  // Display and a row of keys, so that it reads as a bench instrument.
  const QRectF display(box.left() + 4, box.top() + 4, box.width() * 0.55, box.height() * 0.5);
  p.setBrush(QColor(40, 110, 60));
  p.drawRect(display);
  p.setPen(QPen(QColor(170, 240, 170), 1.5));
  QPainterPath wave;
  wave.moveTo(display.left() + 2, display.center().y());
  for (int i = 1; i <= 8; ++i)
    wave.lineTo(display.left() + 2 + i * (display.width() - 4) / 8,
                display.center().y() + ((i % 2) ? -1 : 1) * display.height() * 0.25);
  p.setBrush(Qt::NoBrush);
  p.drawPath(wave);
  p.setPen(QPen(QColor(40, 40, 40), 1));
  p.setBrush(QColor(90, 90, 90));
  const double keyTop = display.bottom() + 5;
  for (int i = 0; i < 4; ++i) p.drawEllipse(QRectF(box.left() + 5 + i * 9, keyTop, 6, 6));
  p.drawEllipse(
      QRectF(box.right() - box.width() * 0.3, box.top() + 8, box.width() * 0.2, box.width() * 0.2));
}

}  // namespace

AnimationFrames DrawTransferFrames(int width, int height) {
  AnimationFrames frames;
  const double w = width;
  const double h = height;
  const QRectF computer(2, h * 0.15, w * 0.28, h * 0.75);
  const QRectF instrument(w * 0.68, h * 0.2, w * 0.3, h * 0.6);
  const double cableY = h * 0.62;
  const double cableLeft = computer.right();
  const double cableRight = instrument.left();
  const double step = (cableRight - cableLeft) / (upload::kAnimationFrames + 1);

  for (int i = 0; i < upload::kAnimationFrames; ++i) {
    QPixmap frame(width, height);
    frame.fill(Qt::transparent);
    QPainter p(&frame);
    p.setRenderHint(QPainter::Antialiasing);
    DrawComputer(p, computer);
    DrawInstrument(p, instrument);
    p.setPen(QPen(QColor(60, 60, 60), 2, Qt::DashLine));
    p.drawLine(QPointF(cableLeft, cableY), QPointF(cableRight, cableY));
    // The data block: a small sheet with lines of "bytes" on it.
    const QRectF block(cableLeft + step * (i + 1) - 6, cableY - 14, 12, 14);
    p.setPen(QPen(QColor(150, 90, 0), 1.2));
    p.setBrush(QColor(255, 200, 60));
    p.drawRect(block);
    for (int line = 1; line <= 3; ++line)
      p.drawLine(QPointF(block.left() + 2, block.top() + line * 3.5),
                 QPointF(block.right() - 2, block.top() + line * 3.5));
    p.end();
    frames[static_cast<std::size_t>(i)] = frame;
  }
  return frames;
}

}  // namespace pelvane::wizard
