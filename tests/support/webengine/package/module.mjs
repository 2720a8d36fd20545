window.moduleLoaded = 1;
export const probe = 1;
