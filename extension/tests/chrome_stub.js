// A small stand-in for the parts of the `chrome` object that the service
// worker's shared-tab state touches, so its rules run under Node.
export function installChrome(tabs = {}) {
  const stored = {};
  globalThis.chrome = {
    storage: {
      session: {
        get: async (key) => ({ [key]: stored[key] }),
        set: async (items) => void Object.assign(stored, items),
      },
    },
    tabs: {
      get: async (tabId) => {
        if (!tabs[tabId]) throw new Error(`No tab with id: ${tabId}.`);
        return tabs[tabId];
      },
    },
    action: { setBadgeText: async () => {}, setBadgeBackgroundColor: async () => {}, setTitle: async () => {} },
    runtime: { getManifest: () => ({ version: "0.1.0" }), lastError: undefined },
  };
  return { tabs, stored };
}
