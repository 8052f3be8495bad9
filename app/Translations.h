#pragma once

class QTranslator;

// Loads Qt's own Spanish translation, so the standard dialogs and buttons
// ("Aceptar", "Cancelar") speak the program's language. The translator must
// outlive the application's use of it.
bool installQtSpanish(QTranslator& translator);
