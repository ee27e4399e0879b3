#pragma once
// StormLib signs an archive that holds a weak signature ("(signature)") each time it writes it.
// PrepareStormSigning() makes the RSA code it signs with usable; it must have run before StormLib
// writes such an archive. Safe to call from any thread, any number of times.
void PrepareStormSigning();
