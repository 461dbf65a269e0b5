// Building a panel or menu bar from its Designer form, and reading a control's value: the helpers
// every program's panels share.
#pragma once

#include <QWidget>

namespace guikit {

// A new widget of type Root with the form's controls on it; the form object itself is not kept.
template <class Form, class Root = QWidget>
Root* buildForm() {
  auto* w = new Root;
  Form form;
  form.setupUi(w);
  return w;
}

// The integer value of a control (0 when it has none).
int intValue(int panel, int control);

}  // namespace guikit
