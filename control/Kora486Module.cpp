// The module's own entry points (DllGetClassObject and the rest) arrive with the control surface;
// until then the library carries the control's code and nothing of its own.
