// The module's code is the qor_apo library, linked whole; its entry points live in
// src/apo/QORAPOModule.cpp.
