// Registration of DorimelHost.exe with the browsers for the current user: the
// host manifests beside the program and one registry key a browser family.
#pragma once

// Writes jp.dorimel.host.json (Chromium form: allowed_origins) and
// jp.dorimel.host.firefox.json (Firefox form: allowed_extensions) into this
// program's folder, each naming this program's full path, and sets the
// default value of the key jp.dorimel.host under Chrome's and Edge's
// NativeMessagingHosts (to the Chromium manifest's full path) and Mozilla's
// (to the Firefox manifest's), all in HKEY_CURRENT_USER\Software.
// Reports each failure on standard error; true when everything was written.
bool registerHost();

// Removes the three keys and the two manifests; a part that is already gone
// is no failure.
bool unregisterHost();
