// replaced by the settings store
