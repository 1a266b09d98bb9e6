// office_oem
