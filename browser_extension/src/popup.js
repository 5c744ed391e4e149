// The toolbar popup and options page: switches "take over every download"
// (stored as takeOver, off by default) and shows the last notice once,
// clearing it and the toolbar badge.
"use strict";

const ext = globalThis.browser ?? globalThis.chrome;

for (const element of document.querySelectorAll("[data-i18n]"))
  element.textContent = ext.i18n.getMessage(element.dataset.i18n);
document.documentElement.lang = ext.i18n.getUILanguage();

const takeOver = document.getElementById("takeOver");
const noticeLine = document.getElementById("notice");

ext.storage.local.get({ takeOver: false, notice: "" }).then(async (stored) => {
  takeOver.checked = stored.takeOver === true;
  if (stored.notice) {
    noticeLine.textContent = stored.notice;
    noticeLine.classList.add("problem");
    await ext.storage.local.remove("notice");
  }
  await ext.action.setBadgeText({ text: "" });
});

takeOver.addEventListener("change", () => {
  ext.storage.local.set({ takeOver: takeOver.checked });
});
