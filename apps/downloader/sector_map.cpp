#include "apps/downloader/sector_map.h"

#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

namespace {

constexpr int kPitch = 11;  // a cell's edge and the gap after it, in pixels
constexpr int kLegend = 16;

using State = SectorMap::State;

bool inProgress(State state) {
  return state == State::Waiting || state == State::Writing;
}

QColor colourOf(State state) {
  if (state == State::Written) return QColor(0x2e, 0xa0, 0x43);
  if (state == State::Error) return QColor(0xd0, 0x30, 0x30);
  if (inProgress(state)) return QColor(0xf0, 0xc0, 0x20);
  return QColor(0xc8, 0xc8, 0xc8);  // not available and sectors not reached
}

}  // namespace

QString SectorMap::text(State state) {
  switch (state) {
    case State::NotAvailable:
      return QStringLiteral("N. A.");
    case State::Waiting:
      return QStringLiteral("Wait...");
    case State::Writing:
      return QStringLiteral("wait...");
    case State::Written:
      return QStringLiteral("Downloaded");
    case State::Error:
      return QStringLiteral("Error");
    case State::Cancelled:
      return QStringLiteral("Cancelled");
    case State::NotWritten:
      return QStringLiteral("Not written");
  }
  return {};
}

SectorMap::SectorMap(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void SectorMap::setSector(std::uint32_t index, std::uint32_t size, std::uint32_t address,
                          State state) {
  const bool grew = cells_.find(index) == cells_.end();
  Cell& c = cells_[index];
  c.size = size;
  c.address = address;
  c.state = state;
  if (grew) updateGeometry();
  update();
}

void SectorMap::clear() {
  cells_.clear();
  updateGeometry();
  update();
}

void SectorMap::endInProgress(State state) {
  for (auto& [index, c] : cells_)
    if (inProgress(c.state)) c.state = state;
  update();
}

std::optional<SectorMap::State> SectorMap::state(std::uint32_t index) const {
  auto it = cells_.find(index);
  if (it == cells_.end()) return std::nullopt;
  return it->second.state;
}

int SectorMap::columns(int width) const {
  return std::max(1, (width - 2) / kPitch);
}

int SectorMap::pitch() const {
  // Squeezed below the height it asked for (a window on a short screen), the cells get smaller
  // rather than the last rows being cut off.
  const int n = std::max<int>(1, static_cast<int>(cells_.size()));
  for (int p = kPitch; p > 4; --p) {
    const int cols = std::max(1, (width() - 2) / p);
    if (kLegend + (n + cols - 1) / cols * p + 2 <= height()) return p;
  }
  return 4;
}

QRect SectorMap::cellRect(int i) const {
  const int p = pitch();
  const int cols = std::max(1, (width() - 2) / p);
  return {1 + (i % cols) * p, kLegend + (i / cols) * p, p - 2, p - 2};
}

int SectorMap::heightForWidth(int width) const {
  const int n = std::max<int>(1, static_cast<int>(cells_.size()));
  const int rows = (n + columns(width) - 1) / columns(width);
  return kLegend + rows * kPitch + 2;
}

QSize SectorMap::sizeHint() const {
  return {400, heightForWidth(400)};
}
QSize SectorMap::minimumSizeHint() const {
  // Every row, at the width the map has: the layout must not cut the last rows off.
  return {100, heightForWidth(width() > 100 ? width() : 400)};
}

void SectorMap::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // A new width gives another number of rows: ask the layout again.
  if (heightForWidth(width()) != height()) updateGeometry();
}

void SectorMap::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setPen(palette().color(QPalette::WindowText));
  const QString legend = summary();
  p.drawText(QRect(1, 0, width() - 2, kLegend), Qt::AlignLeft | Qt::AlignVCenter, legend);
  int i = 0;
  for (const auto& [index, c] : cells_) p.fillRect(cellRect(i++), colourOf(c.state));
}

QString SectorMap::summary() const {
  if (cells_.empty()) return QStringLiteral("Sectors: none written yet");
  // One count per colour, so the counts add up to the cells shown.
  int done = 0, failed = 0, waiting = 0;
  for (const auto& [index, c] : cells_) {
    done += c.state == State::Written;
    failed += c.state == State::Error;
    waiting += inProgress(c.state);
  }
  const int other = static_cast<int>(cells_.size()) - done - failed - waiting;
  return QStringLiteral("Sectors: %1 written, %2 in progress, %3 in error, %4 not reached (%5)")
      .arg(done)
      .arg(waiting)
      .arg(failed)
      .arg(other)
      .arg(cells_.size());
}

int SectorMap::cellAt(QPoint pos) const {
  if (pos.y() < kLegend) return -1;
  const int p = pitch();
  const int col = (pos.x() - 1) / p, row = (pos.y() - kLegend) / p;
  const int cols = std::max(1, (width() - 2) / p);
  if (col >= cols) return -1;
  const int i = row * cols + col;
  return i < static_cast<int>(cells_.size()) ? i : -1;
}

bool SectorMap::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(event);
    const int i = cellAt(help->pos());
    if (i >= 0) {
      auto it = std::next(cells_.begin(), i);
      QToolTip::showText(help->globalPos(),
                         QStringLiteral("Sector %1 at 0x%2, %3 bytes: %4")
                             .arg(it->first)
                             .arg(it->second.address, 8, 16, QLatin1Char('0'))
                             .arg(it->second.size)
                             .arg(text(it->second.state)),
                         this);
    } else {
      QToolTip::hideText();
    }
    return true;
  }
  return QWidget::event(event);
}
