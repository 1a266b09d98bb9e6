// wmi_query
