window.classicLoaded = 1;
