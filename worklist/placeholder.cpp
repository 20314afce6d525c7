// replaced by the DICOM layer
