#pragma once
// What this program knows it left on a board and not in its EEPROM (the window closed with No to
// saving, a command changed a setting and did not save), kept between runs in the settings folder,
// so that the next start does not undo it without asking. By port name, as TChangedSetting bits.
#include <cstdint>
#include <string>

// The settings the board on Port holds unsaved; 0 when nothing is known.
uint8_t UnsavedOnBoard(const std::string& Port);
// Adds Settings (0: settings of a kind not known) to what Port holds unsaved. Never fails: a record
// that cannot be written only costs the question at the next start.
void RecordUnsavedOnBoard(const std::string& Port, uint8_t Settings);
// The board on Port holds what its EEPROM holds (after SAVE or RECALL).
void ForgetUnsavedOnBoard(const std::string& Port);
