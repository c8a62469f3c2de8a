// placeholder: implementation to come
