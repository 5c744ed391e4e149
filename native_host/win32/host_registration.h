// Registration of DorimelHost.exe with the browsers for the current user: the
// host manifests beside the program and one registry key a browser family.
#pragma once

// Writes jp.dorimel.host.json (Chromium form: allowed_origins) and
// jp.dorimel.host.firefox.json (Firefox form: allowed_extensions) into this
// program's folder, each naming this program's full path, and sets the
// default value of HKCU\Software\Google\Chrome\NativeMessagingHosts\
// jp.dorimel.host and of the same key under Microsoft\Edge (the Chromium
// manifest) and Mozilla (the Firefox manifest) to the manifest's full path.
// Reports each failure on standard error; true when everything was written.
bool registerHost();

// Removes the three keys and the two manifests; a part that is already gone
// is no failure.
bool unregisterHost();
